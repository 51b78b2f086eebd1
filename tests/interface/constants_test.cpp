// The named constants of the public header against what the library does
// with them: every type and form constant makes a matrix that reads back
// through hmoldm's decoded words and keeps the element size the header
// states; the copy, multiply, close and control-word constants do what their
// names say, checked against plain loops. Links the shared library only.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "tessera.h"
#include "tessera_sizing.h"
#include "tessera_status.h"
#include "test_support/matrix_host.h"

namespace tessera {
namespace {

bool is_vector_type(int32_t t) {
  return t == TESSERA_TYPE_INT32_ITEMS || t == TESSERA_TYPE_FLOAT_ITEMS ||
         t == TESSERA_TYPE_DOUBLE_ITEMS || t == TESSERA_TYPE_COMPLEX_FLOAT_ITEMS ||
         t == TESSERA_TYPE_COMPLEX_DOUBLE_ITEMS || t == TESSERA_TYPE_INT32_ITEMS_COLUMN;
}
bool is_one_column(int32_t t, int32_t form) {
  return form == TESSERA_FORM_DIAGONAL || t == TESSERA_TYPE_INT32_COLUMN ||
         t == TESSERA_TYPE_INT32_ITEMS_COLUMN;
}

TEST(Constants, EveryTypeAndFormRoundTripsThroughHmoldmAndKeepsItsElementSize) {
  test::HostAreas host;
  const int32_t ndesc = 8;
  test::MatrixHost h(tessera_control_length(TESSERA_DEFAULT_RECORD_LENGTH, 2, ndesc, 0),
                     TESSERA_DEFAULT_RECORD_LENGTH, ndesc);
  ASSERT_TRUE(h.ready());
  const int32_t forms[] = {TESSERA_FORM_SYMMETRIC, TESSERA_FORM_GENERAL, TESSERA_FORM_DIAGONAL,
                           TESSERA_FORM_UPPER};
  int32_t made = 0;
  for (int32_t t = TESSERA_TYPE_INT32; t <= TESSERA_TYPE_INT32_ITEMS_COLUMN; ++t) {
    const int32_t items = is_vector_type(t) ? 3 : 1;
    for (int32_t form : forms) {
      for (int32_t band : {-1, 2}) {
        const int32_t m = form == TESSERA_FORM_SYMMETRIC && is_one_column(t, 0) ? 1 : 7;
        const int32_t n = form == TESSERA_FORM_SYMMETRIC ? m : 5;
        const int32_t storage =
            band < 0 ? tessera_storage_word(form) : tessera_storage_band(form, band);
        const std::string name = "T" + std::to_string(made++);
        SCOPED_TRACE(name + " type " + std::to_string(t) + " form " + std::to_string(form) +
                     " band " + std::to_string(band));
        auto created = h.newm(name, 1, tessera_type_word(t, items), storage, m, n);
        ASSERT_EQ(created.ierr, TESSERA_OK);

        // A general region of bytes through the element size the header
        // states: a wrong size would shift or cut the values read back.
        const int32_t ew = tessera_words_per_item(t) * (is_vector_type(t) ? items : 1);
        const int32_t cols = is_one_column(t, form) ? 1 : n;
        const bool whole = form == TESSERA_FORM_GENERAL;
        if (whole) {
          std::vector<uint32_t> put(static_cast<size_t>(m) * cols * ew);
          for (size_t i = 0; i < put.size(); ++i) put[i] = static_cast<uint32_t>(i * 2654435761u);
          ASSERT_EQ(h.puts(created.handle, 1, m, 1, cols, put.data(), m), TESSERA_OK);
          std::vector<uint32_t> got(put.size(), 0xdeadbeefu);
          ASSERT_EQ(h.gets(created.handle, 1, m, 1, cols, got.data(), m), TESSERA_OK);
          EXPECT_EQ(got, put);
        }
        ASSERT_EQ(h.relm(created.handle), TESSERA_OK);

        auto opened = h.oldm(name, 1, TESSERA_READ_ONLY);
        ASSERT_EQ(opened.ierr, TESSERA_OK);
        EXPECT_EQ(tessera_type_code(opened.typeword), t);
        EXPECT_EQ(tessera_type_items(opened.typeword), items);
        EXPECT_EQ(tessera_storage_form(opened.storageword), form);
        EXPECT_TRUE(tessera_storage_banded(opened.storageword));
        // Without a band the width read back is that of the whole matrix.
        const int32_t width = form == TESSERA_FORM_DIAGONAL ? 0
                              : band >= 0                   ? band
                                                            : std::min(m - 1, n - 1);
        EXPECT_EQ(tessera_storage_band_width(opened.storageword), width);
        EXPECT_EQ(opened.nrows, m);
        EXPECT_EQ(opened.ncols, n);
        ASSERT_EQ(h.relm(opened.handle), TESSERA_OK);
        ASSERT_EQ(h.kilm(name, 1), TESSERA_OK);
      }
    }
  }
  // A scalar type word without items reads back with one item.
  auto plain = h.newm("PLAIN", 1, TESSERA_TYPE_DOUBLE, TESSERA_FORM_GENERAL, 3, 3);
  ASSERT_EQ(plain.ierr, 0);
  ASSERT_EQ(h.relm(plain.handle), 0);
  auto again = h.oldm("PLAIN", 1);
  EXPECT_EQ(again.typeword, tessera_type_word(TESSERA_TYPE_DOUBLE, 1));
  EXPECT_EQ(h.relm(again.handle), 0);
}

TEST(Constants, FormsKeepWhatTheirNamesSay) {
  test::HostAreas host;
  test::MatrixHost h(tessera_control_length(TESSERA_DEFAULT_RECORD_LENGTH, 2, 8, 0),
                     TESSERA_DEFAULT_RECORD_LENGTH);
  ASSERT_TRUE(h.ready());
  const int32_t n = 70;  // more than one 32 x 32 block of doubles
  std::vector<double> a(static_cast<size_t>(n) * n), got(a.size());
  for (int32_t j = 0; j < n; ++j)
    for (int32_t i = 0; i < n; ++i) a[static_cast<size_t>(j) * n + i] = 1000.0 * i + j + 1;
  auto at = [&](const std::vector<double> &v, int32_t i, int32_t j) {
    return v[static_cast<size_t>(j) * n + i];
  };
  const int32_t type = tessera_type_word(TESSERA_TYPE_DOUBLE, 1);

  // Symmetric: the upper triangle mirrored, whatever the lower one held.
  auto s = h.newm("SYM", 1, type, tessera_storage_word(TESSERA_FORM_SYMMETRIC), n, n);
  ASSERT_EQ(s.ierr, 0);
  ASSERT_EQ(h.puts(s.handle, 1, n, 1, n, a.data(), n), 0);
  ASSERT_EQ(h.gets(s.handle, 1, n, 1, n, got.data(), n), 0);
  for (int32_t j = 0; j < n; ++j)
    for (int32_t i = 0; i < n; ++i)
      ASSERT_EQ(at(got, i, j), i <= j ? at(a, i, j) : at(a, j, i)) << i << "," << j;

  // Upper triangular: zeros below the diagonal.
  auto u = h.newm("UPPER", 1, type, tessera_storage_word(TESSERA_FORM_UPPER), n, n);
  ASSERT_EQ(u.ierr, 0);
  ASSERT_EQ(h.puts(u.handle, 1, n, 1, n, a.data(), n), 0);
  ASSERT_EQ(h.gets(u.handle, 1, n, 1, n, got.data(), n), 0);
  for (int32_t j = 0; j < n; ++j)
    for (int32_t i = 0; i < n; ++i) ASSERT_EQ(at(got, i, j), i <= j ? at(a, i, j) : 0.0);

  // Diagonal: one stored column; a second column is outside it.
  auto d = h.newm("DIAG", 1, type, tessera_storage_word(TESSERA_FORM_DIAGONAL), n, n);
  ASSERT_EQ(d.ierr, 0);
  EXPECT_EQ(h.puts(d.handle, 1, n, 1, 1, a.data(), n), 0);
  EXPECT_EQ(h.puts(d.handle, 1, n, 1, 2, a.data(), n), TESSERA_STATUS_REGION_OUTSIDE);
  for (int32_t *handle : {&s.handle, &u.handle, &d.handle}) EXPECT_EQ(h.relm(*handle), 0);
}

// Y += or -= op(A) op(B) against a triple loop, and the copy modes against
// their definitions, for small double matrices.
TEST(Constants, CopyAndMultiplyFlagsActAsNamed) {
  test::HostAreas host;
  test::MatrixHost h(tessera_control_length(TESSERA_DEFAULT_RECORD_LENGTH, 2, 8, 0),
                     TESSERA_DEFAULT_RECORD_LENGTH);
  ASSERT_TRUE(h.ready());
  const int32_t m = 40, k = 35;  // several blocks of 32
  const int32_t type = tessera_type_word(TESSERA_TYPE_DOUBLE, 1);
  const int32_t general = tessera_storage_word(TESSERA_FORM_GENERAL);
  auto A = h.newm("A", 1, type, general, m, k);
  auto AT = h.newm("AT", 1, type, general, k, m);
  auto Y = h.newm("Y", 1, type, general, k, k);
  ASSERT_EQ(A.ierr + AT.ierr + Y.ierr, 0);
  std::vector<double> a(static_cast<size_t>(m) * k);
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<double>((i * 37) % 19) - 9.0;
  ASSERT_EQ(h.puts(A.handle, 1, m, 1, k, a.data(), m), 0);

  int32_t ierr = -1, mode = TESSERA_COPY_NEGATED_TRANSPOSED;
  hlcopm(h.area(), &A.handle, &AT.handle, &mode, &ierr);
  ASSERT_EQ(ierr, 0);
  std::vector<double> at(static_cast<size_t>(k) * m);
  ASSERT_EQ(h.gets(AT.handle, 1, k, 1, m, at.data(), k), 0);
  for (int32_t i = 0; i < m; ++i)
    for (int32_t j = 0; j < k; ++j)
      ASSERT_EQ(at[static_cast<size_t>(i) * k + j], -a[static_cast<size_t>(j) * m + i]);

  // Y = 0 - A^T A = (-A^T) A computed the other way round, so a wrong
  // flag cannot pass by symmetry: Y - (AT A) must vanish after both.
  int32_t ta = TESSERA_TRANSPOSE, tb = TESSERA_NO_TRANSPOSE, up = TESSERA_ALL_BLOCKS;
  int32_t sub = TESSERA_SUBTRACT;
  hlmult(h.area(), &A.handle, &A.handle, &Y.handle, &ta, &tb, &up, &sub, &ierr);
  ASSERT_EQ(ierr, 0);
  std::vector<double> y(static_cast<size_t>(k) * k);
  ASSERT_EQ(h.gets(Y.handle, 1, k, 1, k, y.data(), k), 0);
  double largest = 0;
  for (int32_t i = 0; i < k; ++i)
    for (int32_t j = 0; j < k; ++j) {
      double s = 0;
      for (int32_t r = 0; r < m; ++r) s += a[static_cast<size_t>(i) * m + r] * a[static_cast<size_t>(j) * m + r];
      ASSERT_DOUBLE_EQ(y[static_cast<size_t>(j) * k + i], -s);
      largest = std::max(largest, std::abs(s));
    }
  ASSERT_GT(largest, 0.0);  // not a vacuous pass
  ta = TESSERA_NO_TRANSPOSE;
  sub = TESSERA_ADD;
  hlmult(h.area(), &AT.handle, &A.handle, &Y.handle, &ta, &tb, &up, &sub, &ierr);
  ASSERT_EQ(ierr, 0);
  up = 7;  // any non-zero value asks for the upper blocks and reads back as 1
  hlmult(h.area(), &AT.handle, &A.handle, &Y.handle, &ta, &tb, &up, &sub, &ierr);
  EXPECT_EQ(up, TESSERA_UPPER_BLOCKS);
  ASSERT_EQ(h.gets(Y.handle, 1, k, 1, k, y.data(), k), 0);
  // Two full products of -A^T A, then a third on the upper blocks only.
  for (int32_t j = 0; j < k; ++j)
    for (int32_t i = 0; i < k; ++i) {
      double s = 0;
      for (int32_t r = 0; r < m; ++r) s += a[static_cast<size_t>(i) * m + r] * a[static_cast<size_t>(j) * m + r];
      const bool upper_block = i / 32 <= j / 32;
      ASSERT_DOUBLE_EQ(y[static_cast<size_t>(j) * k + i], upper_block ? -3 * s : -2 * s) << i << "," << j;
    }
  for (int32_t *handle : {&A.handle, &AT.handle, &Y.handle}) EXPECT_EQ(h.relm(*handle), 0);
}

TEST(Constants, ControlWordsAndCloseModes) {
  test::HostAreas host;
  const int32_t L = 8192, ndesc = 4;
  const int32_t want = tessera_buffers_for_hyperblock(3, ndesc);
  int32_t length = tessera_control_length(L, 1, ndesc, want);
  ASSERT_GT(length, 0);
  std::vector<int32_t> ctrl(static_cast<size_t>(length));
  int32_t nfs = 1, nd = ndesc, option = 0, ierr = -1;
  hminmf(ctrl.data(), &length, &nfs, &nd, &option, &ierr);
  ASSERT_EQ(ierr, 0);
  EXPECT_EQ(TESSERA_CTRL(ctrl, TESSERA_CTRL_INITIALISED), TESSERA_INITIALISED);
  EXPECT_EQ(TESSERA_CTRL(ctrl, TESSERA_CTRL_RECORD_LENGTH), TESSERA_DEFAULT_RECORD_LENGTH);
  EXPECT_EQ(TESSERA_CTRL(ctrl, TESSERA_CTRL_BLAS), TESSERA_BLAS_OFF);
  TESSERA_CTRL(ctrl, TESSERA_CTRL_RECORD_LENGTH) = L;
  TESSERA_CTRL(ctrl, TESSERA_CTRL_BLAS) = TESSERA_BLAS_ON;

  const int32_t words = tessera_fileset_min_words(L, length, 0);
  test::FileSet set = test::create_fileset(ctrl, 2, 0, words);
  ASSERT_EQ(set.ierr, 0);
  // The pool has the buffers asked for, and they give hyperblocks of order 3.
  EXPECT_GE(TESSERA_CTRL(ctrl, TESSERA_CTRL_BUFFERS), want);
  EXPECT_EQ(tessera_hyperblock_order(TESSERA_CTRL(ctrl, TESSERA_CTRL_BUFFERS), ndesc), 3);

  // Checking mode refuses while a set is open and deletes nothing; the set
  // can still be killed.
  ierr = TESSERA_CLOSE_CHECK;
  hmclos(ctrl.data(), &ierr);
  EXPECT_EQ(ierr, TESSERA_STATUS_FILESETS_OPEN);
  struct stat st;
  EXPECT_EQ(::stat(set.names[0].c_str(), &st), 0);
  EXPECT_EQ(test::kill_fileset(ctrl, set), 0);

  // Deleting mode removes the files of every set still open.
  std::fill(ctrl.begin(), ctrl.end(), 0);
  hminmf(ctrl.data(), &length, &nfs, &nd, &option, &ierr);
  ASSERT_EQ(ierr, 0);
  set = test::create_fileset(ctrl, 2, 0, words);
  ASSERT_EQ(set.ierr, 0);
  ierr = TESSERA_CLOSE_DELETE;
  hmclos(ctrl.data(), &ierr);
  EXPECT_EQ(ierr, 0);
  EXPECT_NE(::stat(set.names[0].c_str(), &st), 0);
  EXPECT_NE(::stat(set.names[1].c_str(), &st), 0);
}

TEST(StatusText, EveryStatusHasItsOwnSentence) {
  const int codes[] = {0, 1, 2, 3, 4, 9, 10, 11, 13, 14, 16, 17, 19, 20, 29, 30, 31,
                       32, 35, 37, 38, 39, 100, 101, 105, 161, 162, 163, 164, 165, 170, -3};
  const std::string unknown = tessera_status_text(12345);
  std::set<std::string> seen;
  for (int code : codes) {
    const std::string text = tessera_status_text(code);
    EXPECT_NE(text, unknown) << code;
    EXPECT_TRUE(seen.insert(text).second) << code << ": " << text;
    EXPECT_EQ(text.back(), '.') << code;
  }
  EXPECT_STREQ(tessera_status_text(TESSERA_STATUS_READ_ONLY), "The matrix was opened read-only.");
}

}  // namespace
}  // namespace tessera
