// Progress reports (progress.h).
#include "progress.h"

#include <algorithm>
#include <cmath>

namespace tessera::solve {
namespace {

constexpr int kBarWidth = 30;
constexpr auto kRedraw = std::chrono::milliseconds(200);

double seconds_since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

std::string eta_text(double eta) {
  if (!(eta >= 0) || eta > 1e7) return "--:--";
  char buf[32];
  const long s = std::lround(eta);
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(buf, sizeof buf, "%02ld:%02ld", s / 60, s % 60);
  return buf;
}

double eta_of(double fraction, double elapsed) {
  return fraction > 0.001 ? elapsed * (1 - fraction) / fraction : -1;
}

}  // namespace

StreamProgress::StreamProgress(std::FILE *out, bool terminal) : out_(out), terminal_(terminal) {}

StreamProgress::~StreamProgress() { end_bar(); }

void StreamProgress::end_bar() {
  if (bar_open_) {
    std::fputc('\n', out_);
    std::fflush(out_);
    bar_open_ = false;
  }
}

void StreamProgress::phase(const std::string &name) {
  end_bar();
  phase_ = name;
  start_ = std::chrono::steady_clock::now();
  last_draw_ = {};
  last_tenth_ = -1;
  if (!terminal_) {
    std::fprintf(out_, "%s\n", name.c_str());
    std::fflush(out_);
  }
}

void StreamProgress::update(double fraction, double gflops) {
  fraction = std::clamp(fraction, 0.0, 1.0);
  const double elapsed = seconds_since(start_);
  if (terminal_) {
    const auto now = std::chrono::steady_clock::now();
    if (fraction < 1.0 && now - last_draw_ < kRedraw) return;
    last_draw_ = now;
    const int filled = static_cast<int>(fraction * kBarWidth);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kBarWidth, '.');
    std::fprintf(out_, "\r%-9s [%s] %5.1f%%  ETA %s", phase_.c_str(), bar.c_str(),
                 100.0 * fraction, eta_text(eta_of(fraction, elapsed)).c_str());
    if (gflops > 0) std::fprintf(out_, "  %6.1f GFLOP/s", gflops);
    std::fflush(out_);
    bar_open_ = true;
    return;
  }
  const int tenth = static_cast<int>(fraction * 10);
  if (tenth <= last_tenth_ || tenth == 0) return;
  last_tenth_ = tenth;
  std::fprintf(out_, "%s %3d%%  %.1f s  ETA %s", phase_.c_str(), tenth * 10, elapsed,
               eta_text(eta_of(fraction, elapsed)).c_str());
  if (gflops > 0) std::fprintf(out_, "  %.1f GFLOP/s", gflops);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void StreamProgress::notice(const std::string &line) {
  end_bar();
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

void CallbackProgress::phase(const std::string &name) {
  phase_ = name;
  start_ = std::chrono::steady_clock::now();
  cb_(phase_, 0.0, -1.0, 0.0, std::string());
}

void CallbackProgress::update(double fraction, double gflops) {
  cb_(phase_, fraction, eta_of(fraction, seconds_since(start_)), gflops, std::string());
}

void CallbackProgress::notice(const std::string &line) { cb_(phase_, -1.0, -1.0, 0.0, line); }

}  // namespace tessera::solve
