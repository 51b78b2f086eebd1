// The report as a table and as JSON (report.h).
#include "report.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace tessera::solve {
namespace {

constexpr double kMiB = 1024.0 * 1024.0;

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

}  // namespace

std::string SolveReport::json() const {
  nlohmann::ordered_json j;
  j["problem"] = problem;
  j["n"] = n;
  j["entries"] = entries;
  j["dense"] = dense;
  j["ordering"] = ordering;
  j["block_order"] = block_order;
  j["stored_blocks"] = blocks;
  j["factor_mb"] = factor_bytes / kMiB;
  j["flops"] = flops;
  j["scalar_factor_entries"] = scalar_entries;
  j["scalar_flops"] = scalar_flops;
  j["panels"] = panels;
  j["factor_file"] = factor_file;
  j["factor_kept"] = factor_kept;
  j["factor_reused"] = factor_reused;
  if (resumed_at >= 0) j["resumed_at_block_row"] = resumed_at;
  j["checkpoints"] = checkpoints;
  j["seconds"] = {{"read", read_seconds},     {"order", order_seconds},
                  {"symbolic", symbolic_seconds}, {"factor", factor_seconds},
                  {"solve", solve_seconds}};
  j["factor_seconds_in"] = {{"io", factor_io_seconds},
                            {"blas", factor_blas_seconds},
                            {"input", factor_fill_seconds}};
  j["factor_flops_done"] = factor_flops_done;
  j["gflops"] = gflops;
  j["mb_read"] = mb_read;
  j["mb_written"] = mb_written;
  j["memory_mb"] = memory / kMiB;
  j["peak_rss_mb"] = peak_rss / kMiB;
  j["fixed_overhead_mb"] = fixed_overhead / kMiB;
  j["within_memory"] = within_memory;
  j["rhs_columns"] = rhs_columns;
  if (residual_known) j["scaled_residual"] = scaled_residual;
  if (!refinement.empty()) j["refinement"] = refinement;
  if (error_known) j["error"] = error;
  j["inertia"] = {{"positive", positive_pivots}, {"negative", negative_pivots}};
  nlohmann::ordered_json t = nlohmann::ordered_json::array();
  for (const TinyPivotReport &p : tiny) t.push_back({{"column", p.column}, {"value", p.value}});
  j["tiny_pivots"] = {{"count", tiny_pivots}, {"kept", t}};
  if (!notices.empty()) j["notices"] = notices;
  return j.dump();
}

std::string SolveReport::table() const {
  std::string s;
  auto row = [&](const char *name, const std::string &value) {
    s += format("  %-22s %s\n", name, value.c_str());
  };
  s += "solve of " + problem + "\n";
  row("order n", format("%d", n));
  row("entries", format("%lld%s", static_cast<long long>(entries), dense ? " (dense)" : ""));
  row("ordering", ordering);
  row("block order", format("%d", block_order));
  row("stored blocks", format("%lld", static_cast<long long>(blocks)));
  row("factor", format("%.1f MB (element by element %.1f MB)", factor_bytes / kMiB,
                       scalar_entries * 8 / kMiB));
  row("flops", format("%.4g (element by element %.4g)", flops, scalar_flops));
  if (factor_reused) {
    row("factor", "reused from " + factor_file);
  } else {
    row("factor file", factor_file + (factor_kept ? " (kept)" : " (removed)"));
    if (resumed_at >= 0) row("resumed", format("at block row %d", resumed_at));
    row("panels, checkpoints", format("%d, %d", panels, checkpoints));
  }
  row("time: read", format("%.3f s", read_seconds));
  row("      order", format("%.3f s", order_seconds));
  row("      symbolic", format("%.3f s", symbolic_seconds));
  row("      factor", format("%.3f s (I/O %.3f, BLAS and crudr %.3f, input %.3f)",
                             factor_seconds, factor_io_seconds, factor_blas_seconds,
                             factor_fill_seconds));
  row("      solve", format("%.3f s", solve_seconds));
  row("rate", format("%.2f GFLOP/s", gflops));
  row("read, written", format("%.1f MB, %.1f MB", mb_read, mb_written));
  row("memory", format("%.1f MB allowed; peak resident %.1f MB = %.1f MB fixed overhead + %.1f MB%s",
                       memory / kMiB, peak_rss / kMiB, fixed_overhead / kMiB,
                       (peak_rss - fixed_overhead) / kMiB, within_memory ? "" : " (ABOVE the limit)"));
  row("right-hand sides", format("%d", rhs_columns));
  if (residual_known)
    row("scaled residual", format("%.3g  (|Ax - b| / (|A| |x| eps), infinity norms)", scaled_residual));
  for (size_t k = 0; k < refinement.size(); ++k)
    row(k == 0 ? "refinement" : "", format("step %zu: %.3g", k + 1, refinement[k]));
  if (error_known) row("error", format("%.3g  (|x - 1|, the exact solution of b = A 1)", error));
  row("inertia", format("%lld positive, %lld negative pivots",
                        static_cast<long long>(positive_pivots),
                        static_cast<long long>(negative_pivots)));
  row("tiny pivots", format("%lld%s", static_cast<long long>(tiny_pivots),
                            tiny_pivots > 0 ? " (crudr replaced each: a zero pivot by 1, a tiny d "
                                              "by 1/sqrt(d); the values below are before)"
                                            : ""));
  for (const TinyPivotReport &p : tiny)
    row("", format("column %lld: %.3g", static_cast<long long>(p.column), p.value));
  for (const std::string &nt : notices) row("note", nt);
  return s;
}

}  // namespace tessera::solve
