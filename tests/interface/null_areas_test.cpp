// Routines called while Xerror, Xcache or Xchosky is still null refuse with
// status 100 and write nothing: not through the null pointer (the test would
// crash), not into the control area, and into the trace only the one code
// that names the refusal. Each routine is tried with each area missing.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tessera.h"
#include "tessera_sizing.h"
#include "test_support/matrix_host.h"

namespace tessera {
namespace {

constexpr int32_t kAreaNotLinked = 30697;

enum Needs { kTraceOnly, kTraceAndChosky, kAll };

struct Routine {
  std::string name;
  Needs needs;
  std::function<void(int32_t &)> call;  // the status lands in the argument
};

TEST(NullAreas, EveryRoutineRefusesWithStatus100AndWritesNothing) {
  test::HostAreas host;
  test::MatrixHost h(tessera_control_length(TESSERA_DEFAULT_RECORD_LENGTH, 2, 8, 0),
                     TESSERA_DEFAULT_RECORD_LENGTH);
  ASSERT_TRUE(h.ready());
  const int32_t type = tessera_type_word(TESSERA_TYPE_DOUBLE, 1);
  auto a = h.newm("A", 1, type, TESSERA_FORM_GENERAL, 40, 40);
  auto b = h.newm("B", 1, type, TESSERA_FORM_GENERAL, 40, 40);
  ASSERT_EQ(a.ierr + b.ierr, 0);
  std::vector<double> values(40 * 40, 1.5);
  ASSERT_EQ(h.puts(a.handle, 1, 40, 1, 40, values.data(), 40), 0);

  int32_t *ctrl = h.area();
  int32_t fs = h.fs();
  std::vector<char *> names = h.set().argv();
  test::MatrixName name("A"), fresh("NEW");
  int32_t q = 1, one = 1, n40 = 40, zero = 0, nfiles = h.set().count();
  int32_t length = static_cast<int32_t>(h.ctrl().size()), nfs = 2, ndesc = 8;
  int32_t form = TESSERA_FORM_GENERAL, handle = 0, out[4];
  double dense[4] = {4, 2, 2, 3}, f[4], g[4], x[2] = {6, 7};
  int32_t n2 = 2, k1 = 1, tri = TESSERA_FACTOR_TRIANGULAR;

  const std::vector<Routine> routines = {
      {"hminmf", kAll, [&](int32_t &e) { hminmf(ctrl, &length, &nfs, &ndesc, &zero, &e); }},
      {"hmnewf", kAll,
       [&](int32_t &e) { hmnewf(ctrl, &nfiles, names.data(), &zero, &zero, &handle, &e); }},
      {"hmoldf", kAll, [&](int32_t &e) { hmoldf(ctrl, &nfiles, names.data(), &handle, &e); }},
      {"hmclos", kAll, [&](int32_t &e) { e = 1; hmclos(ctrl, &e); }},
      {"hmclos_filename", kAll, [&](int32_t &e) { e = 1; hmclos_filename(ctrl, names.data(), &e); }},
      {"hmkilf", kAll, [&](int32_t &e) { hmkilf(ctrl, &fs, &e); }},
      {"hmkilf_filename", kAll, [&](int32_t &e) { hmkilf_filename(ctrl, &fs, names.data(), &e); }},
      {"hmremf", kAll, [&](int32_t &e) { hmremf(ctrl, &fs, &e); }},
      {"hmremf_filename", kAll, [&](int32_t &e) { hmremf_filename(ctrl, &fs, names.data(), &e); }},
      {"hmnewm", kAll,
       [&](int32_t &e) {
         hmnewm(ctrl, fresh.words, &q, &fs, &type, &form, &n40, &n40, &handle, &e);
       }},
      {"hmoldm", kAll,
       [&](int32_t &e) {
         hmoldm(ctrl, name.words, &q, &fs, &zero, &out[0], &out[1], &out[2], &out[3], &handle, &e);
       }},
      {"hmrelm", kAll, [&](int32_t &e) { hmrelm(ctrl, &a.handle, &e); }},
      {"hmkilm", kAll, [&](int32_t &e) { hmkilm(ctrl, name.words, &q, &fs, &e); }},
      {"hmputs", kAll,
       [&](int32_t &e) {
         hmputs(ctrl, &a.handle, &one, &n40, &one, &n40,
                reinterpret_cast<const float *>(values.data()), &n40, &e);
       }},
      {"hmgets", kAll,
       [&](int32_t &e) {
         hmgets(ctrl, &b.handle, &one, &n40, &one, &n40, reinterpret_cast<float *>(values.data()),
                &n40, &e);
       }},
      {"hladd", kAll, [&](int32_t &e) { hladd(ctrl, &b.handle, &a.handle, &zero, &e); }},
      {"hlcopm", kAll, [&](int32_t &e) { hlcopm(ctrl, &a.handle, &b.handle, &zero, &e); }},
      {"hlmult", kAll,
       [&](int32_t &e) {
         hlmult(ctrl, &a.handle, &a.handle, &b.handle, &zero, &zero, &zero, &zero, &e);
       }},
      {"crudr", kTraceAndChosky, [&](int32_t &e) { e = 1; crudr(dense, f, g, &n2, &n2, &e); }},
      {"fwsdr", kTraceOnly, [&](int32_t &e) { fwsdr(dense, x, &n2, &k1, &tri, &e); }},
      {"bwsdr", kTraceOnly, [&](int32_t &e) { bwsdr(dense, x, &n2, &k1, &tri, &e); }},
  };
  ASSERT_EQ(routines.size(), 21u);  // every routine with a status

  char *const linked[3] = {Xerror, Xcache, Xchosky};
  char **pointers[3] = {&Xerror, &Xcache, &Xchosky};
  for (const Routine &r : routines) {
    for (int missing = 0; missing < 3; ++missing) {
      const bool needed = r.needs == kAll || missing == 0 ||
                          (missing == 2 && r.needs == kTraceAndChosky);
      if (!needed) continue;
      SCOPED_TRACE(r.name + " with area " + std::to_string(missing) + " null");
      const std::vector<int32_t> before = h.ctrl();
      const std::vector<double> values_before = values;
      host.trace[0] = 3;
      host.trace[3] = 11111;
      *pointers[missing] = nullptr;
      int32_t ierr = -1;
      r.call(ierr);
      *pointers[missing] = linked[missing];
      EXPECT_EQ(ierr, TESSERA_STATUS_NOT_INITIALISED);
      EXPECT_TRUE(h.ctrl() == before);
      EXPECT_TRUE(values == values_before);
      if (missing == 0) {
        EXPECT_EQ(host.trace[0], 3);  // untouched
      } else {
        EXPECT_EQ(host.trace[host.trace[0]], kAreaNotLinked);
      }
    }
  }

  // The dense routines need only the areas they use.
  Xcache = nullptr;
  int32_t ierr = 1;
  crudr(dense, f, g, &n2, &n2, &ierr);
  EXPECT_EQ(ierr, 0);
  Xchosky = nullptr;
  fwsdr(f, x, &n2, &k1, &tri, &ierr);
  EXPECT_EQ(ierr, 0);
  bwsdr(g, x, &n2, &k1, &tri, &ierr);
  EXPECT_EQ(ierr, 0);
  EXPECT_DOUBLE_EQ(x[0], 0.5);
  EXPECT_DOUBLE_EQ(x[1], 2.0);
  Xcache = linked[1];
  Xchosky = linked[2];

  // Nothing was lost: the matrix still holds what was put, and the area
  // closes cleanly.
  std::vector<double> got(40 * 40);
  ASSERT_EQ(h.gets(a.handle, 1, 40, 1, 40, got.data(), 40), 0);
  EXPECT_EQ(got, std::vector<double>(40 * 40, 1.5));
  EXPECT_EQ(h.relm(a.handle), 0);
  EXPECT_EQ(h.relm(b.handle), 0);
  EXPECT_EQ(h.remove(), 0);
  ierr = TESSERA_CLOSE_CHECK;
  hmclos(ctrl, &ierr);
  EXPECT_EQ(ierr, 0);
}

}  // namespace
}  // namespace tessera
