// How a solve tells the world where it is: the phases in turn, how far the
// current one has come, and notices worth a line of their own. The command
// line draws a bar on a terminal and prints plain lines elsewhere; the C
// interface hands the same to its host's callback.
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "problem.h"

namespace tessera::solve {

class TESSERA_SOLVE_API Progress {
 public:
  virtual ~Progress() = default;
  // A new phase begins: read, order, symbolic, factor, solve.
  virtual void phase(const std::string &name) { (void)name; }
  // fraction of the current phase done (0..1), its rate so far in GFLOP/s
  // (0 when it does no arithmetic worth counting).
  virtual void update(double fraction, double gflops) { (void)fraction, (void)gflops; }
  virtual void notice(const std::string &line) { (void)line; }
};

// Writes to a stream: a bar redrawn in place on a terminal (phase, percent,
// ETA, GFLOP/s), one plain line per tenth of a phase elsewhere.
class TESSERA_SOLVE_API StreamProgress : public Progress {
 public:
  StreamProgress(std::FILE *out, bool terminal);
  ~StreamProgress() override;
  void phase(const std::string &name) override;
  void update(double fraction, double gflops) override;
  void notice(const std::string &line) override;

 private:
  void end_bar();
  std::FILE *out_;
  bool terminal_;
  std::string phase_;
  std::chrono::steady_clock::time_point start_, last_draw_;
  int last_tenth_ = -1;
  bool bar_open_ = false;
};

// Hands every call to a function (the C interface's callback).
class TESSERA_SOLVE_API CallbackProgress : public Progress {
 public:
  using Callback = std::function<void(const std::string &phase, double fraction, double eta,
                                      double gflops, const std::string &notice)>;
  explicit CallbackProgress(Callback cb) : cb_(std::move(cb)) {}
  void phase(const std::string &name) override;
  void update(double fraction, double gflops) override;
  void notice(const std::string &line) override;

 private:
  Callback cb_;
  std::string phase_;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace tessera::solve
