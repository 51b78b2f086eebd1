// solve_bench: the out-of-core solver against LAPACK, CHOLMOD and MUMPS on
// the same generated matrices, each run in a process of its own, one table.
//
//   solve_bench [--quick] [--problems P,...] [--sides S,...] [--repeat R]
//               [--threads T] [--dir DIR] [--fit-memory SIZE] [--block-order NB]
//               [--mumps-ordering metis|scotch]
//
// Runs (--sides), in this order for each problem:
//   lapack           dpotrf in memory (dense problems)
//   cholmod          CHOLMOD supernodal, in memory (sparse problems)
//   mumps            MUMPS sequential, SPD, in core (sparse)
//   mumps-ooc        MUMPS out of core, ICNTL(22) = 1, at its own memory (sparse)
//   tessera          tessera with --memory larger than the factor (--fit-memory,
//                    default the solver's own: a quarter of physical memory)
//   tessera-quarter  tessera with --memory a quarter of MUMPS in core's peak
//                    resident set (sparse; runs mumps first)
//   tessera-eighth   tessera with --memory an eighth (less 5 %) of the factor of
//                    the tessera run (which it runs first); a dense problem is
//                    read from a file set whose files are dropped from the
//                    page cache as the factorisation begins
//
// A dense problem's tessera runs read it from a file set (written once per
// problem by a child of its own, as a host would); the sparse problems are
// generated in every process. GFLOP/s are those of one count per problem for
// every side: LAPACK's count for dpotrf (n^3/3 + n^2/2 + n/6) for a dense
// problem, CHOLMOD's for its METIS ordering for a sparse one. Peak resident
// set: ru_maxrss of the child (wait4). The BLAS threads are fixed for every
// child (OPENBLAS_NUM_THREADS, OMP_NUM_THREADS and openblas_set_num_threads).
//
// Exit status: 0 when every run succeeded with an accepted residual (goals
// met or missed alike), 1 when a run failed, 2 for a bad command line.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "solve_bench.h"

namespace solve_bench {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

constexpr double kMiB = 1024.0 * 1024.0;

// The goals, as ratios.
constexpr double kDenseFitGoal = 0.85;      // rate against dpotrf, memory larger than the factor
constexpr double kDenseEighthGoal = 0.7;    // the same with an eighth of the factor, cold
constexpr double kCholmodTimeGoal = 3.0;    // factor time at most this times CHOLMOD's
constexpr double kBeyondMemoryGoal = 0.7;   // rate at an eighth of the factor against when it fits
constexpr double kBeyondMemoryFactor = 8.0; // the factor at least this times --memory
constexpr double kEighthMargin = 0.95;

// Longest file name hmnewf takes.
constexpr int kMaxFileName = 80;

// A cold run whose files keep more than this share of their pages cached
// after the drop is not cold: the run fails.
constexpr double kColdCachedShare = 0.01;

const std::vector<std::string> kAllSides = {"lapack", "cholmod", "mumps", "mumps-ooc",
                                            "tessera", "tessera-quarter", "tessera-eighth"};
const std::vector<std::string> kFullProblems = {"dense-spd:4096", "dense-spd:8192", "laplace3d:50",
                                                "laplace2d:1000", "elasticity3d:32"};
const std::vector<std::string> kQuickProblems = {"dense-spd:1024", "laplace3d:12", "laplace2d:60",
                                                 "elasticity3d:5"};

struct Options {
  std::vector<std::string> problems;
  std::vector<std::string> sides = kAllSides;
  int repeat = 1;
  int threads = 0;
  std::string dir;
  int64_t fit_memory = 0;
  int block_order = 0;
  std::string mumps_ordering = "metis";
  bool quick = false;
};

bool is_dense(const std::string &problem) { return problem.rfind("dense-spd:", 0) == 0; }

std::vector<std::string> split(const std::string &s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  for (std::string item; std::getline(in, item, ',');)
    if (!item.empty()) out.push_back(item);
  return out;
}

std::string load_average() {
  std::FILE *f = std::fopen("/proc/loadavg", "r");
  if (f == nullptr) return "?";
  char buf[128] = {};
  const bool ok = std::fgets(buf, sizeof buf, f) != nullptr;
  std::fclose(f);
  if (!ok) return "?";
  std::string s(buf);
  // The three averages only.
  size_t end = 0;
  for (int k = 0; k < 3 && end != std::string::npos; ++k) end = s.find(' ', end + 1);
  return s.substr(0, end);
}

double load1() { return std::atof(load_average().c_str()); }

std::string command_output(const std::string &cmd) {
  std::string out;
  if (std::FILE *p = ::popen(cmd.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    ::pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// One run's outcome as the driver saw it.
struct Outcome {
  bool ran = false;
  json r;                 // the child's results ("ok", "message", figures)
  int64_t peak_rss = 0;   // ru_maxrss of the child, from wait4
  double disk_read = 0;   // bytes the child read from the disk (ru_inblock)
  double wall = 0;        // of the whole child
  double load = 0;        // 1-minute load average when it started
  int64_t memory = 0;     // tessera's --memory (0: its default)
  std::string failure;    // set when the run failed
  bool refused() const { return r.value("refused", false); }
  bool usable() const { return ran && failure.empty() && !refused(); }
  double factor_seconds() const { return r.value("factor_seconds", 0.0); }
};

// Starts this program as a child for one side and waits for it.
Outcome run_child(const std::string &self, const ChildTask &c) {
  Outcome o;
  o.ran = true;
  o.memory = c.memory;
  o.load = load1();
  std::vector<std::string> args = {self,          "--child",     "--side",
                                   c.side,        "--problem",   c.problem,
                                   "--dir",       c.dir,         "--threads",
                                   std::to_string(c.threads),    "--memory",
                                   std::to_string(c.memory),     "--mumps-ordering",
                                   c.mumps_ordering,             "--block-order",
                                   std::to_string(c.block_order)};
  if (!c.set.empty()) args.insert(args.end(), {"--set", c.set});
  if (c.cold) args.push_back("--cold");
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int pipefd[2];
  if (::pipe2(pipefd, O_CLOEXEC) != 0) {
    o.failure = "pipe failed";
    return o;
  }
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid < 0) {
    o.failure = "fork failed";
    return o;
  }
  if (pid == 0) {
    ::dup2(pipefd[1], STDOUT_FILENO);
    ::execv(self.c_str(), argv.data());
    std::perror("execv");
    ::_exit(127);
  }
  ::close(pipefd[1]);
  std::string out;
  char buf[4096];
  for (ssize_t got; (got = ::read(pipefd[0], buf, sizeof buf)) != 0;) {
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    out.append(buf, static_cast<size_t>(got));
  }
  ::close(pipefd[0]);
  int status = 0;
  struct rusage ru {};
  while (::wait4(pid, &status, 0, &ru) < 0 && errno == EINTR) {
  }
  o.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  o.peak_rss = static_cast<int64_t>(ru.ru_maxrss) * 1024;
  o.disk_read = 512.0 * static_cast<double>(ru.ru_inblock);
  const size_t at = out.rfind(kResultTag);
  if (at != std::string::npos) {
    const size_t end = out.find('\n', at);
    try {
      o.r = json::parse(out.substr(at + std::strlen(kResultTag),
                                   end == std::string::npos ? std::string::npos
                                                            : end - at - std::strlen(kResultTag)));
    } catch (const json::exception &e) {
      o.failure = std::string("unreadable results: ") + e.what();
    }
  }
  if (WIFSIGNALED(status))
    o.failure = "killed by signal " + std::to_string(WTERMSIG(status));
  else if (o.failure.empty() && (!WIFEXITED(status) || WEXITSTATUS(status) != 0))
    o.failure = "exit status " + std::to_string(WEXITSTATUS(status));
  else if (o.failure.empty() && o.r.is_null())
    o.failure = "no results";
  else if (o.failure.empty() && !o.r.value("ok", false))
    o.failure = o.r.value("message", std::string("failed"));
  else if (o.failure.empty() && c.cold && !o.refused() &&
           !(o.r.value("cold_cached_share", 1.0) <= kColdCachedShare))
    o.failure = "the files were not dropped from the page cache (share still cached " +
                std::to_string(o.r.value("cold_cached_share", 1.0)) + ")";
  else if (o.failure.empty() && !o.refused() && c.side != "prepare" && c.side != "reference") {
    const double res = o.r.value("scaled_residual", INFINITY);
    if (!(res <= kResidualBound)) {
      char msg[128];
      std::snprintf(msg, sizeof msg, "scaled residual %.3g above %g", res, kResidualBound);
      o.failure = msg;
    }
  }
  return o;
}

// --- the report ------------------------------------------------------------

struct Goal {
  Goal(std::string p, std::string w) : problem(std::move(p)), what(std::move(w)) {}
  std::string problem, what;
  double ratio = NAN, goal = NAN;
  bool at_most = false;  // met when ratio <= goal (else >= goal, or > for a strict one)
  bool strict = false;
  std::string note;      // why it was not measured, or a detail
  bool measured() const { return std::isfinite(ratio); }
  bool met() const {
    if (!measured()) return false;
    if (at_most) return ratio <= goal;
    return strict ? ratio > goal : ratio >= goal;
  }
  std::string verdict() const { return !measured() ? "not measured" : met() ? "met" : "MISSED"; }
};

std::string mib(double bytes) {
  char b[32];
  std::snprintf(b, sizeof b, "%.0f", bytes / kMiB);
  return b;
}

std::string fixed(double v, int digits) {
  if (!std::isfinite(v)) return "-";
  char b[32];
  std::snprintf(b, sizeof b, "%.*f", digits, v);
  return b;
}

std::string sci(double v) {
  if (!std::isfinite(v)) return "-";
  char b[32];
  std::snprintf(b, sizeof b, "%.3g", v);
  return b;
}

class Bench {
 public:
  Bench(Options o, std::string self) : o_(std::move(o)), self_(std::move(self)) {}
  int go();

 private:
  bool wants(const std::string &side) const {
    return std::find(o_.sides.begin(), o_.sides.end(), side) != o_.sides.end();
  }
  void run_problem(const std::string &problem);
  Outcome run(const std::string &problem, const std::string &side, const std::string &dir,
              int64_t memory, const std::string &set, bool cold, int round,
              const std::string &label = "");
  void print_problem(const std::string &problem, double ref_flops, const std::string &ref_what,
                     const std::map<std::string, Outcome> &best);
  void add_goals(const std::string &problem, const std::map<std::string, Outcome> &best,
                 double ref_flops);

  Options o_;
  std::string self_;
  std::vector<Goal> goals_;
  std::vector<std::string> failures_;
  std::map<int, int> threads_seen_;
  int problems_run_ = 0;
};

Outcome Bench::run(const std::string &problem, const std::string &side, const std::string &dir,
                   int64_t memory, const std::string &set, bool cold, int round,
                   const std::string &label) {
  ChildTask c;
  c.side = side;
  c.problem = problem;
  c.dir = dir + "/" + side + "-" + std::to_string(round);
  c.set = set;
  c.memory = memory;
  c.cold = cold;
  c.threads = o_.threads;
  c.block_order = o_.block_order;
  c.mumps_ordering = o_.mumps_ordering;
  std::error_code ec;
  fs::create_directories(c.dir, ec);
  std::fprintf(stderr, "  %-16s %-16s (load %s) ...", problem.c_str(),
               (label.empty() ? side : label).c_str(),
               load_average().c_str());
  std::fflush(stderr);
  Outcome out = run_child(self_, c);
  fs::remove_all(c.dir, ec);
  if (out.ran && !out.r.is_null()) ++threads_seen_[out.r.value("blas_threads", 0)];
  if (!out.failure.empty()) {
    std::fprintf(stderr, " FAILED: %s\n", out.failure.c_str());
    failures_.push_back(problem + " " + side + ": " + out.failure);
  } else if (out.refused()) {
    std::fprintf(stderr, " refused: %s\n", out.r.value("message", std::string()).c_str());
  } else {
    std::fprintf(stderr, " factor %.2f s, peak %s MiB\n", out.factor_seconds(),
                 mib(static_cast<double>(out.peak_rss)).c_str());
  }
  return out;
}

void Bench::run_problem(const std::string &problem) {
  const bool dense = is_dense(problem);
  // Short names: the library takes file names of at most kMaxFileName
  // characters, and the solver's factor goes in a run's directory.
  const std::string pdir = o_.dir + "/p" + std::to_string(++problems_run_);
  std::error_code ec;
  fs::create_directories(pdir, ec);
  std::vector<std::string> order;
  for (const std::string &s : kAllSides) {
    const bool dense_side = s == "lapack";
    const bool sparse_side = s == "cholmod" || s == "mumps" || s == "mumps-ooc" || s == "tessera-quarter";
    if ((dense && sparse_side) || (!dense && dense_side)) continue;
    // A run whose memory comes from another brings that one in.
    bool want = wants(s);
    if (s == "mumps" && !dense && wants("tessera-quarter")) want = true;
    if (s == "tessera" && wants("tessera-eighth")) want = true;
    if (want) order.push_back(s);
  }

  // The reference count: CHOLMOD's analysis, run alone when CHOLMOD is not.
  double ref_flops = NAN;
  std::string ref_what;
  std::map<std::string, Outcome> best;
  if (dense) {
    const double n = std::atof(problem.c_str() + std::strlen("dense-spd:"));
    ref_flops = n * n * n / 3 + n * n / 2 + n / 6;
    ref_what = "LAPACK's count for dpotrf, n^3/3 + n^2/2 + n/6";
  } else if (std::find(order.begin(), order.end(), "cholmod") == order.end()) {
    Outcome ref = run(problem, "reference", pdir, 0, "", false, 0);
    if (ref.usable()) ref_flops = ref.r.value("reference_flops", NAN);
  }

  // A dense problem's file set, for the tessera runs.
  std::string set;
  const bool any_tessera = std::any_of(order.begin(), order.end(),
                                       [](const std::string &s) { return s.rfind("tessera", 0) == 0; });
  if (dense && any_tessera) {
    set = pdir + "/matrix.tsf";
    Outcome prep = run(problem, "prepare", pdir, 0, set, false, 0);
    if (!prep.usable()) set.clear();
  }

  std::map<std::string, int64_t> memory;
  for (int round = 1; round <= o_.repeat; ++round) {
    for (const std::string &side : order) {
      if (dense && side.rfind("tessera", 0) == 0 && set.empty()) continue;
      int64_t mem = 0;
      bool cold = false;
      std::string child_side = side;
      if (side == "tessera") {
        mem = o_.fit_memory;
      } else if (side == "tessera-quarter") {
        child_side = "tessera";
        auto it = best.find("mumps");
        if (it == best.end() || !it->second.usable()) continue;
        if (!memory.count(side)) memory[side] = it->second.peak_rss / 4;
        mem = memory[side];
      } else if (side == "tessera-eighth") {
        child_side = "tessera";
        auto it = best.find("tessera");
        if (it == best.end() || !it->second.usable()) continue;
        // An eighth of the factor the run that fits stored, less a margin: at
        // so little memory the solver may choose another block order, whose
        // factor must still be at least 8x (the goal checks the run's own).
        // A dense factor is never smaller than its triangle, whatever the
        // block order: an eighth of that when it is less.
        if (!memory.count(side)) {
          double f = it->second.r.value("factor_bytes", 0.0) * kEighthMargin;
          if (dense) f = std::min(f, 8 * it->second.r["report"].value("scalar_factor_entries", f));
          memory[side] = static_cast<int64_t>(f / kBeyondMemoryFactor);
        }
        mem = memory[side];
        cold = dense;
      }
      Outcome out = run(problem, child_side, pdir, mem, dense && child_side == "tessera" ? set : "",
                        cold, round, side);
      if (side == "cholmod" && out.usable()) {
        ref_flops = out.r.value("reference_flops", NAN);
      }
      // The fastest run of each side stands for it.
      auto it = best.find(side);
      if (it == best.end() || !it->second.usable() ||
          (out.usable() && out.factor_seconds() < it->second.factor_seconds()))
        best[side] = std::move(out);
    }
  }
  if (!dense) ref_what = "CHOLMOD's count for its METIS ordering (Common->fl)";
  fs::remove_all(pdir, ec);
  print_problem(problem, ref_flops, ref_what, best);
  add_goals(problem, best, ref_flops);
}

std::string side_title(const std::string &side) {
  static const std::map<std::string, std::string> t = {
      {"lapack", "LAPACK dpotrf, in memory"},
      {"cholmod", "CHOLMOD supernodal, in memory"},
      {"mumps", "MUMPS in core"},
      {"mumps-ooc", "MUMPS out of core"},
      {"tessera", "tessera, memory > factor"},
      {"tessera-quarter", "tessera, MUMPS peak / 4"},
      {"tessera-eighth", "tessera, factor / 8"},
  };
  auto it = t.find(side);
  return it == t.end() ? side : it->second;
}

void Bench::print_problem(const std::string &problem, double ref_flops, const std::string &ref_what,
                          const std::map<std::string, Outcome> &best) {
  std::printf("\n== %s   reference count %s flop (%s)\n", problem.c_str(), sci(ref_flops).c_str(),
              ref_what.c_str());
  std::printf("%-31s %9s %9s %9s %9s %8s %9s %9s %9s %6s\n", "run", "memory", "analyse",
              "factor", "fact. CPU", "GFLOP/s", "peak RSS", "factor", "residual", "load");
  std::printf("%-31s %9s %9s %9s %9s %8s %9s %9s %9s %6s\n", "", "MiB", "s", "s", "s", "", "MiB",
              "MiB", "", "");
  for (const std::string &side : kAllSides) {
    auto it = best.find(side);
    if (it == best.end()) continue;
    const Outcome &o = it->second;
    const std::string mem = side.rfind("tessera", 0) == 0
                                ? (o.r.contains("report")
                                       ? fixed(o.r["report"].value("memory_mb", NAN), 0)
                                       : (o.memory > 0 ? mib(double(o.memory)) : "default"))
                                : "-";
    if (!o.usable()) {
      std::printf("%-31s %9s  %s\n", side_title(side).c_str(), mem.c_str(),
                  o.refused() ? ("refused: " + o.r.value("message", std::string())).c_str()
                              : ("FAILED: " + o.failure).c_str());
      continue;
    }
    const double t = o.factor_seconds();
    std::printf("%-31s %9s %9s %9s %9s %8s %9s %9s %9s %6.1f\n", side_title(side).c_str(),
                mem.c_str(), fixed(o.r.value("analyse_seconds", NAN), 2).c_str(), fixed(t, 2).c_str(),
                fixed(o.r.value("factor_cpu_seconds", NAN), 2).c_str(),
                fixed(ref_flops / t * 1e-9, 1).c_str(), mib(double(o.peak_rss)).c_str(),
                mib(o.r.value("factor_bytes", NAN)).c_str(),
                sci(o.r.value("scaled_residual", NAN)).c_str(), o.load);
  }
  // What each side did, and where tessera's time went.
  for (const std::string &side : kAllSides) {
    auto it = best.find(side);
    if (it == best.end() || !it->second.usable()) continue;
    const Outcome &o = it->second;
    std::printf("  %-16s ordering: %s", side.c_str(), o.r.value("ordering", std::string("-")).c_str());
    if (o.r.contains("report")) {
      const json &rep = o.r["report"];
      const json &in = rep["factor_seconds_in"];
      std::printf("; nb %d, %d panels, %.3g block flop (%.2fx the reference); factor s: I/O %.2f, "
                  "BLAS %.2f, input %.2f, other %.2f; read %.0f MB, written %.0f MB; "
                  "fixed overhead %.0f MiB, within memory: %s",
                  rep.value("block_order", 0), rep.value("panels", 0), rep.value("flops", 0.0),
                  rep.value("flops", 0.0) / ref_flops, in.value("io", 0.0), in.value("blas", 0.0),
                  in.value("input", 0.0),
                  o.factor_seconds() - in.value("io", 0.0) - in.value("blas", 0.0) -
                      in.value("input", 0.0),
                  rep.value("mb_read", 0.0), rep.value("mb_written", 0.0),
                  rep.value("fixed_overhead_mb", 0.0),
                  rep.value("within_memory", false) ? "yes" : "no");
    }
    if (o.r.contains("cold_files"))
      std::printf("; cold: %d files dropped (largest share still cached %.3f), %.0f MiB read "
                  "from the disk from then on",
                  o.r.value("cold_files", 0), o.r.value("cold_cached_share", 0.0),
                  o.r.value("cold_disk_read", 0.0) / kMiB);
    if (o.r.contains("retries") && o.r.value("retries", 0) > 0)
      std::printf("; ICNTL(14) raised to %d", o.r.value("icntl14", 0));
    if (o.r.contains("estimated_peak_mb"))
      std::printf("; its own estimate of its peak %d MB", o.r.value("estimated_peak_mb", 0));
    std::printf("; disk read %.0f MiB; wall %.1f s\n", o.disk_read / kMiB, o.wall);
  }
  // Each problem's table as soon as it is complete: a long run that is
  // stopped keeps what it measured.
  std::fflush(stdout);
}

void Bench::add_goals(const std::string &problem, const std::map<std::string, Outcome> &best,
                      double ref_flops) {
  auto get = [&](const std::string &side) -> const Outcome * {
    auto it = best.find(side);
    return it == best.end() ? nullptr : &it->second;
  };
  auto why_not = [](const Outcome *o, const std::string &side) {
    if (o == nullptr) return side + " not run";
    if (o->refused()) return side + " refused: " + o->r.value("message", std::string());
    return side + " failed: " + o->failure;
  };
  auto ok = [](const Outcome *o) { return o != nullptr && o->usable(); };
  // The same ratio in processor time (every thread, user and system): on a
  // loaded machine the wall times move with the other work, this less.
  auto cpu = [](const Outcome *num, const Outcome *den) {
    const double a = num->r.value("factor_cpu_seconds", NAN), b = den->r.value("factor_cpu_seconds", NAN);
    return "in processor time " + fixed(a / b, 2);
  };
  const Outcome *t = get("tessera"), *e = get("tessera-eighth");
  if (is_dense(problem)) {
    const Outcome *l = get("lapack");
    Goal g{problem, "factor rate against dpotrf, --memory larger than the factor"};
    g.goal = kDenseFitGoal;
    if (ok(t) && ok(l)) {
      g.ratio = l->factor_seconds() / t->factor_seconds();
      g.note = cpu(l, t);
      const double m = t->r["report"].value("memory_mb", 0.0), f = t->r["report"].value("factor_mb", 0.0);
      if (m <= f) {
        g.ratio = NAN;
        g.note = "memory " + fixed(m, 0) + " MiB is not larger than the factor";
      }
    } else {
      g.note = !ok(t) ? why_not(t, "tessera") : why_not(l, "lapack");
    }
    goals_.push_back(g);
    Goal c{problem, "factor rate against dpotrf, --memory an eighth of the factor, files cold"};
    c.goal = kDenseEighthGoal;
    if (ok(e) && ok(l)) {
      c.ratio = l->factor_seconds() / e->factor_seconds();
      c.note = cpu(l, e);
    } else
      c.note = !ok(e) ? why_not(e, "tessera-eighth") : why_not(l, "lapack");
    goals_.push_back(c);
  } else {
    const Outcome *ch = get("cholmod");
    Goal g{problem, "factor time against CHOLMOD's"};
    g.goal = kCholmodTimeGoal;
    g.at_most = true;
    if (ok(t) && ok(ch)) {
      g.ratio = t->factor_seconds() / ch->factor_seconds();
      g.note = cpu(t, ch);
    } else
      g.note = !ok(t) ? why_not(t, "tessera") : why_not(ch, "cholmod");
    goals_.push_back(g);
    const Outcome *q = get("tessera-quarter"), *mo = get("mumps-ooc");
    Goal m{problem, "MUMPS out of core's factor time over tessera's at a quarter of MUMPS in core's peak"};
    m.goal = 1.0;
    m.strict = true;
    if (ok(q) && ok(mo)) {
      m.ratio = mo->factor_seconds() / q->factor_seconds();
      m.note = cpu(mo, q) + "; tessera peak " + mib(double(q->peak_rss)) +
               " MiB, MUMPS out of core peak " + mib(double(mo->peak_rss)) + " MiB";
    } else {
      m.note = !ok(q) ? why_not(q, "tessera-quarter") : why_not(mo, "mumps-ooc");
    }
    goals_.push_back(m);
  }
  Goal b{problem, "rate with the factor >= 8x --memory against the rate when it fits"};
  b.goal = kBeyondMemoryGoal;
  if (ok(e) && ok(t)) {
    const double f = e->r.value("factor_bytes", 0.0), m = e->r["report"].value("memory_mb", 0.0) * kMiB;
    b.ratio = t->factor_seconds() / e->factor_seconds();
    b.note = cpu(t, e) + "; factor " + fixed(f / m, 1) + "x memory";
    if (f < kBeyondMemoryFactor * m * 0.999) {
      b.ratio = NAN;
      b.note = "the factor is only " + fixed(f / m, 1) + "x the memory";
    }
  } else {
    b.note = !ok(e) ? why_not(e, "tessera-eighth") : why_not(t, "tessera");
  }
  goals_.push_back(b);
  (void)ref_flops;
}

int Bench::go() {
  std::error_code ec;
  const bool made_dir = o_.dir.empty();
  if (made_dir) o_.dir = "/tmp/solve_bench-" + std::to_string(::getpid());
  // The longest name below it: /pN/mumps-ooc-R/tessera-factor-PID-K.tsf.
  if (o_.dir.size() + 48 > kMaxFileName) {
    std::fprintf(stderr, "solve_bench: --dir %s is too long: the library takes file names of at "
                         "most %d characters, and the files go %d deep below it\n",
                 o_.dir.c_str(), kMaxFileName, 48);
    return 2;
  }
  fs::create_directories(o_.dir, ec);
  if (ec) {
    std::fprintf(stderr, "solve_bench: cannot create %s: %s\n", o_.dir.c_str(), ec.message().c_str());
    return 2;
  }
  if (o_.threads <= 0) o_.threads = static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN));
  // Every child and every library in it (OpenBLAS, CHOLMOD's OpenMP loops)
  // runs on the same number of threads.
  const std::string t = std::to_string(o_.threads);
  ::setenv("OPENBLAS_NUM_THREADS", t.c_str(), 1);
  ::setenv("OMP_NUM_THREADS", t.c_str(), 1);

  const std::string load_before = load_average();
  std::printf("solve_bench: %s\n", o_.quick ? "quick check at small sizes" : "full sizes");
  std::printf("machine: %ld cores, %.1f GiB memory; load average before: %s\n",
              ::sysconf(_SC_NPROCESSORS_ONLN),
              double(::sysconf(_SC_PHYS_PAGES)) * double(::sysconf(_SC_PAGESIZE)) / (kMiB * 1024),
              load_before.c_str());
  std::printf("BLAS threads: %d on every side (OPENBLAS_NUM_THREADS, OMP_NUM_THREADS, "
              "openblas_set_num_threads)\n",
              o_.threads);
  const json hv = header_versions();
  std::printf("peers: CHOLMOD %s, SuiteSparse %s; MUMPS %s (sequential); METIS %s\n",
              hv["CHOLMOD"].get<std::string>().c_str(), hv["SuiteSparse"].get<std::string>().c_str(),
              hv["MUMPS"].get<std::string>().c_str(), hv["METIS"].get<std::string>().c_str());
  const std::string pk = command_output(
      "dpkg-query -W -f='${binary:Package} ${Version}\\n' libopenblas0-pthread libcholmod3 "
      "libmumps-seq-5.5 libmetis5 libscotch-7.0 2>/dev/null | paste -sd ';' | sed 's/;/; /g'");
  if (!pk.empty()) std::printf("packages: %s\n", pk.c_str());
  std::printf("work directory: %s\n", o_.dir.c_str());
  std::fflush(stdout);

  for (const std::string &p : o_.problems) run_problem(p);

  std::printf("\n== goals\n");
  for (const Goal &g : goals_) {
    std::string ratio = g.measured() ? fixed(g.ratio, 2) + (g.at_most ? " (at most " : " (at least ") +
                                           fixed(g.goal, 2) + (g.strict ? ", more than)" : ")")
                                     : "-";
    if (g.strict && g.measured()) ratio = fixed(g.ratio, 2) + " (more than " + fixed(g.goal, 2) + ")";
    std::printf("  %-12s %-13s %s: %s%s%s\n", g.verdict().c_str(), g.problem.c_str(), g.what.c_str(),
                ratio.c_str(), g.note.empty() ? "" : "; ", g.note.c_str());
  }
  std::printf("\nBLAS threads reported by the runs:");
  for (const auto &[threads, count] : threads_seen_) std::printf(" %d (%d runs)", threads, count);
  std::printf("\nload average after: %s\n", load_average().c_str());
  if (made_dir) fs::remove_all(o_.dir, ec);
  if (!failures_.empty()) {
    std::printf("\n%zu run(s) failed:\n", failures_.size());
    for (const std::string &f : failures_) std::printf("  %s\n", f.c_str());
    return 1;
  }
  if (threads_seen_.size() > 1) {
    std::printf("\nthe runs did not all use the same number of BLAS threads\n");
    return 1;
  }
  return 0;
}

int64_t parse_bytes(const std::string &s) {
  char *end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  const std::string unit = end ? end : "";
  if (unit == "K" || unit == "k") v *= 1024;
  else if (unit == "M") v *= kMiB;
  else if (unit == "G") v *= kMiB * 1024;
  else if (!unit.empty()) return -1;
  return static_cast<int64_t>(v);
}

int usage() {
  std::fprintf(stderr,
               "usage: solve_bench [--quick] [--problems P,...] [--sides S,...] [--repeat R]\n"
               "                   [--threads T] [--dir DIR] [--fit-memory SIZE] [--block-order NB]\n"
               "                   [--mumps-ordering metis|scotch]\n"
               "  problems (default %s):\n"
               "    dense-spd:N, laplace3d:K, laplace2d:K, elasticity3d:K (generated problems)\n"
               "  --quick: %s\n"
               "  sides (default all): lapack, cholmod, mumps, mumps-ooc, tessera,\n"
               "    tessera-quarter (--memory a quarter of MUMPS in core's peak),\n"
               "    tessera-eighth (--memory an eighth of the factor; dense: files cold)\n"
               "  --repeat R: each run R times in turn, the fastest kept (a shared machine)\n"
               "  --threads T: BLAS threads on every side (default: every core)\n"
               "  --fit-memory SIZE: tessera's --memory in the run where the factor fits\n"
               "    (default: the solver's own, a quarter of physical memory)\n"
               "  --block-order NB: tessera's block order in every run (default: its own)\n",
               "dense-spd:4096,dense-spd:8192,laplace3d:50,laplace2d:1000,elasticity3d:32",
               "dense-spd:1024,laplace3d:12,laplace2d:60,elasticity3d:5");
  return 2;
}

int child_main(int argc, char **argv) {
  ChildTask c;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--side") c.side = value();
    else if (a == "--problem") c.problem = value();
    else if (a == "--dir") c.dir = value();
    else if (a == "--set") c.set = value();
    else if (a == "--memory") c.memory = std::atoll(value().c_str());
    else if (a == "--threads") c.threads = std::atoi(value().c_str());
    else if (a == "--block-order") c.block_order = std::atoi(value().c_str());
    else if (a == "--mumps-ordering") c.mumps_ordering = value();
    else if (a == "--cold") c.cold = true;
  }
  const json r = run_side(c);
  std::printf("%s%s\n", kResultTag, r.dump().c_str());
  std::fflush(stdout);
  return 0;
}

}  // namespace
}  // namespace solve_bench

int main(int argc, char **argv) {
  using namespace solve_bench;
  if (argc > 1 && std::strcmp(argv[1], "--child") == 0) return child_main(argc, argv);
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has = i + 1 < argc;
    if (a == "--quick") o.quick = true;
    else if (a == "--problems" && has) o.problems = split(argv[++i]);
    else if (a == "--sides" && has) o.sides = split(argv[++i]);
    else if (a == "--repeat" && has) o.repeat = std::max(1, std::atoi(argv[++i]));
    else if (a == "--threads" && has) o.threads = std::atoi(argv[++i]);
    else if (a == "--dir" && has) o.dir = argv[++i];
    else if (a == "--fit-memory" && has) {
      o.fit_memory = parse_bytes(argv[++i]);
      if (o.fit_memory < 0) return usage();
    } else if (a == "--block-order" && has) o.block_order = std::atoi(argv[++i]);
    else if (a == "--mumps-ordering" && has) o.mumps_ordering = argv[++i];
    else return usage();
  }
  for (const std::string &s : o.sides)
    if (std::find(kAllSides.begin(), kAllSides.end(), s) == kAllSides.end()) return usage();
  if (o.mumps_ordering != "metis" && o.mumps_ordering != "scotch") return usage();
  if (o.problems.empty()) o.problems = o.quick ? kQuickProblems : kFullProblems;
  char self[4096];
  const ssize_t len = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (len <= 0) return 2;
  self[len] = '\0';
  Bench b(std::move(o), self);
  return b.go();
}
