// hmputs and hmgets against a dense model of each matrix: every element type,
// the general, symmetric, diagonal and upper triangular forms, regions that
// cross block, hyperblock and edge boundaries, and a long random sequence of
// puts and gets on several matrices with a buffer pool small enough that
// blocks are evicted and written back all the time.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "catalogue/descriptor_words.h"
#include "common/status.h"
#include "control/control_words.h"
#include "tessera.h"
#include "test_support/fault_injection.h"
#include "test_support/matrix_host.h"

namespace tessera {
namespace {

using test::Dense;

constexpr int32_t kL = 256;  // small records: many blocks in small matrices

// Items per element used for the vector types.
int32_t items_for(int32_t t) {
  return (t == 3 || t == 7 || t == 8 || t == 9 || t == 10 || t == 12) ? 3 : 1;
}
bool one_column(int32_t t) { return t == 11 || t == 12; }

// Write a small integer v as one item of type t (two numbers for complex).
void encode_item(uint32_t *w, int32_t t, int32_t v, int32_t im) {
  switch (t) {
    case 1: case 3: case 11: case 12: {
      w[0] = static_cast<uint32_t>(v);
      break;
    }
    case 2: case 7: {
      float f = static_cast<float>(v);
      std::memcpy(w, &f, 4);
      break;
    }
    case 4: case 8: {
      double d = v;
      std::memcpy(w, &d, 8);
      break;
    }
    case 5: case 9: {
      float f[2] = {static_cast<float>(v), static_cast<float>(im)};
      std::memcpy(w, f, 8);
      break;
    }
    default: {
      double d[2] = {static_cast<double>(v), static_cast<double>(im)};
      std::memcpy(w, d, 16);
    }
  }
}

int32_t item_words(int32_t t) { return test::element_words(t, 1); }

// A host array of r x c random elements of type t (k items each).
Dense random_array(std::mt19937 &rng, int32_t r, int32_t c, int32_t t, int32_t k) {
  Dense a(r, c, test::element_words(t, k));
  std::uniform_int_distribution<int32_t> v(-999, 999);
  const int32_t iw = item_words(t);
  for (int32_t j = 1; j <= c; ++j)
    for (int32_t i = 1; i <= r; ++i)
      for (int32_t q = 0; q < a.ew / iw; ++q) encode_item(a.at(i, j) + q * iw, t, v(rng), v(rng));
  return a;
}

// What the matrix holds, element by element, and what a get must return.
// `stored` is the content of the stored blocks; for forms 1 and 6 blocks
// below the block diagonal are never stored.
struct Model {
  int32_t t, k, form, nb, m, ns;
  Dense stored;
  std::set<std::pair<int32_t, int32_t>> created;  // blocks a put has created

  Model(int32_t t_, int32_t k_, int32_t form_, int32_t nb_, int32_t m_, int32_t ns_)
      : t(t_), k(k_), form(form_), nb(nb_), m(m_), ns(ns_),
        stored(m_, ns_, test::element_words(t_, k_)) {}

  int32_t block(int32_t i) const { return (i - 1) / nb + 1; }
  bool lower_unstored(int32_t bi, int32_t bj) const {
    return (form == 1 || form == 6) && bi > bj;
  }

  // The put of a at (i1, j1): block by block, each block's piece column by
  // column, as the transfer converts it.
  void put(int32_t i1, int32_t j1, const Dense &a) {
    const int32_t i2 = i1 + a.rows - 1, j2 = j1 + a.cols - 1;
    for (int32_t bi = block(i1); bi <= block(i2); ++bi) {
      for (int32_t bj = block(j1); bj <= block(j2); ++bj) {
        if (lower_unstored(bi, bj)) continue;
        created.insert({bi, bj});
        const int32_t r0 = std::max(i1, (bi - 1) * nb + 1), r1 = std::min(i2, bi * nb);
        const int32_t c0 = std::max(j1, (bj - 1) * nb + 1), c1 = std::min(j2, bj * nb);
        for (int32_t j = c0; j <= c1; ++j) {
          for (int32_t i = r0; i <= r1; ++i) {
            const uint32_t *v = a.at(i - i1 + 1, j - j1 + 1);
            if (form == 6 && bi == bj && i > j) continue;
            std::memcpy(stored.at(i, j), v, stored.ew * 4);
            if (form == 1 && bi == bj) {
              std::memcpy(stored.at(j, i), v, stored.ew * 4);
              test::conjugate(stored.at(j, i), t, k);
            }
          }
        }
      }
    }
  }

  // Element (i, j) as a get returns it.
  void get(int32_t i, int32_t j, uint32_t *out) const {
    const int32_t bi = block(i), bj = block(j);
    if (form == 6 && bi > bj) {
      std::memset(out, 0, stored.ew * 4);
    } else if (form == 1 && bi > bj) {
      // The transpose of the mirror block, when that block exists (the
      // conjugate of a stored zero is a negative zero).
      std::memcpy(out, stored.at(j, i), stored.ew * 4);
      if (created.count({bj, bi}) != 0)
        test::conjugate(out, t, k);
    } else {
      std::memcpy(out, stored.at(i, j), stored.ew * 4);
    }
  }

  // True when a got r x c from (i1, j1) equals the model.
  ::testing::AssertionResult matches(int32_t i1, int32_t j1, const Dense &a) const {
    std::vector<uint32_t> want(stored.ew);
    for (int32_t j = 1; j <= a.cols; ++j) {
      for (int32_t i = 1; i <= a.rows; ++i) {
        get(i1 + i - 1, j1 + j - 1, want.data());
        if (std::memcmp(want.data(), a.at(i, j), stored.ew * 4) != 0) {
          auto failure = ::testing::AssertionFailure()
                         << "element (" << i1 + i - 1 << ", " << j1 + j - 1 << ") of type " << t
                         << " form " << form << ", words got/want:";
          for (int32_t q = 0; q < stored.ew; ++q)
            failure << " " << std::hex << a.at(i, j)[q] << "/" << want[q] << std::dec;
          return failure;
        }
      }
    }
    return ::testing::AssertionSuccess();
  }
};

// A random region of the matrix, often cutting across blocks.
struct Region {
  int32_t i1, nr, j1, nc;
};
Region random_region(std::mt19937 &rng, int32_t m, int32_t ns, int32_t largest) {
  auto pick = [&](int32_t n, int32_t &first, int32_t &count) {
    const int32_t most = std::min(n, largest);
    count = std::uniform_int_distribution<int32_t>(1, most)(rng);
    first = std::uniform_int_distribution<int32_t>(1, n - count + 1)(rng);
  };
  Region r{};
  pick(m, r.i1, r.nr);
  pick(ns, r.j1, r.nc);
  return r;
}

class SubmatrixTest : public ::testing::Test {
 protected:
  test::HostAreas host_;
};

// Every type and form: random puts, then random gets and the whole matrix,
// all compared with the model. 90 x 75 with record length 256 spans several
// blocks, partial edge blocks and (with b1 >= 2) more than one hyperblock.
TEST_F(SubmatrixTest, EveryTypeAndFormRoundTripsAgainstTheModel) {
  test::MatrixHost h(120000, kL, 6);
  ASSERT_TRUE(h.ready());
  std::mt19937 rng(12345);
  for (int32_t t = 1; t <= 12; ++t) {
    const int32_t k = items_for(t);
    for (int32_t form : {3, 1, 5, 6}) {
      if (form == 1 && one_column(t)) continue;  // refused: not square
      const int32_t m = 90, n = form == 1 ? 90 : 75;
      const std::string name = "T" + std::to_string(t) + "F" + std::to_string(form);
      auto o = h.newm(name, 1, t + 256 * k, form, m, n);
      ASSERT_EQ(o.ierr, 0) << name;
      const int32_t D = o.handle;
      const int32_t nb = h.dw(D, dw::kBlockOrder), ns = h.dw(D, dw::kStoredCols);
      EXPECT_EQ(ns, (form == 5 || one_column(t)) ? 1 : n);
      ASSERT_GE(h.dw(D, dw::kHyperOrder), 2) << "the test wants hyperblocks of several blocks";
      ASSERT_GT(m, nb * h.dw(D, dw::kHyperOrder)) << "the matrix spans one hyperblock only";
      Model model(t, k, form, nb, m, ns);

      for (int32_t p = 0; p < 8; ++p) {
        const Region r = random_region(rng, m, ns, 60);
        Dense a = random_array(rng, r.nr, r.nc, t, k);
        ASSERT_EQ(h.puts(D, r.i1, r.nr, r.j1, r.nc, a.w.data(), r.nr), 0) << name;
        model.put(r.i1, r.j1, a);
      }
      for (int32_t g = 0; g < 8; ++g) {
        const Region r = random_region(rng, m, ns, 60);
        // A leading dimension larger than the region leaves the rows
        // beyond it alone.
        Dense a(r.nr + 2, r.nc, test::element_words(t, k));
        std::fill(a.w.begin(), a.w.end(), 0xdeadbeefu);
        ASSERT_EQ(h.gets(D, r.i1, r.nr, r.j1, r.nc, a.w.data(), r.nr + 2), 0) << name;
        Dense got(r.nr, r.nc, a.ew);
        for (int32_t j = 1; j <= r.nc; ++j) {
          std::memcpy(got.at(1, j), a.at(1, j), static_cast<size_t>(r.nr) * a.ew * 4);
          EXPECT_EQ(*a.at(r.nr + 1, j), 0xdeadbeefu);
        }
        ASSERT_TRUE(model.matches(r.i1, r.j1, got)) << name;
      }
      Dense all(m, ns, test::element_words(t, k));
      ASSERT_EQ(h.gets(D, 1, m, 1, ns, all.w.data(), m), 0);
      ASSERT_TRUE(model.matches(1, 1, all)) << name;
      ASSERT_EQ(h.relm(o.handle), 0);
    }
  }
}

// Forms 1 and 6 in detail: the lower triangle of the host's data is ignored
// where the matrix keeps one triangle, and the get fills it back.
TEST_F(SubmatrixTest, SymmetricAndUpperFormsKeepOneTriangle) {
  test::MatrixHost h(120000, kL, 6);
  ASSERT_TRUE(h.ready());
  const int32_t n = 40;  // nb 16 for type 1: 3 x 3 blocks
  std::vector<int32_t> a(n * n);
  for (int32_t j = 0; j < n; ++j)
    for (int32_t i = 0; i < n; ++i) a[j * n + i] = 1000 * (i + 1) + (j + 1);

  auto sym = h.newm("SYM", 1, 1, 1, n, n);
  auto up = h.newm("UP", 1, 1, 6, n, n);
  ASSERT_EQ(sym.ierr, 0);
  ASSERT_EQ(up.ierr, 0);
  ASSERT_EQ(h.dw(sym.handle, dw::kBlockOrder), 16);
  ASSERT_EQ(h.puts(sym.handle, 1, n, 1, n, a.data(), n), 0);
  ASSERT_EQ(h.puts(up.handle, 1, n, 1, n, a.data(), n), 0);
  // Only the 6 blocks on and above the block diagonal were created.
  EXPECT_EQ(h.dw(sym.handle, dw::kIndexEntries), 6);
  EXPECT_EQ(h.dw(up.handle, dw::kIndexEntries), 6);

  std::vector<int32_t> s(n * n), u(n * n);
  ASSERT_EQ(h.gets(sym.handle, 1, n, 1, n, s.data(), n), 0);
  ASSERT_EQ(h.gets(up.handle, 1, n, 1, n, u.data(), n), 0);
  for (int32_t j = 0; j < n; ++j) {
    for (int32_t i = 0; i < n; ++i) {
      // The symmetric matrix is the host's upper triangle mirrored.
      const int32_t want = i <= j ? a[j * n + i] : a[i * n + j];
      EXPECT_EQ(s[j * n + i], want) << i << "," << j;
      EXPECT_EQ(u[j * n + i], i <= j ? a[j * n + i] : 0) << i << "," << j;
    }
  }
  EXPECT_EQ(h.relm(sym.handle), 0);
  EXPECT_EQ(h.relm(up.handle), 0);
}

TEST_F(SubmatrixTest, CornerElementAndUntouchedRegionsAndBandDistances) {
  test::MatrixHost h(120000, kL, 6);
  ASSERT_TRUE(h.ready());
  auto o = h.newm("G", 1, 2, 3, 50, 37);  // nb 16: 4 x 3 blocks, corner 2 x 5
  ASSERT_EQ(o.ierr, 0);
  const int32_t D = o.handle;
  const int32_t used_before = h.dw(D, dw::kUsedList);

  // A get of a region nothing was put in returns zeros and creates nothing.
  std::vector<float> z(50 * 37, 5.0f);
  ASSERT_EQ(h.gets(D, 1, 50, 1, 37, z.data(), 50), 0);
  for (float v : z) ASSERT_EQ(v, 0.0f);
  EXPECT_EQ(h.dw(D, dw::kIndexEntries), 0);
  EXPECT_EQ(h.dw(D, dw::kUsedList), used_before);

  // One element at (m, n') lands in the corner block.
  const float corner = 42.5f;
  ASSERT_EQ(h.puts(D, 50, 1, 37, 1, &corner, 1), 0);
  EXPECT_EQ(h.dw(D, dw::kIndexEntries), 1);
  EXPECT_EQ(h.dw(D, dw::kLowerSeen), 1);  // block (4, 3)
  EXPECT_EQ(h.dw(D, dw::kUpperSeen), 0);
  const float top = 1.0f;
  ASSERT_EQ(h.puts(D, 1, 1, 37, 1, &top, 1), 0);  // block (1, 3)
  EXPECT_EQ(h.dw(D, dw::kUpperSeen), 2);
  ASSERT_EQ(h.gets(D, 1, 50, 1, 37, z.data(), 50), 0);
  for (int32_t j = 0; j < 37; ++j)
    for (int32_t i = 0; i < 50; ++i) {
      const float want = (i == 49 && j == 36) ? corner : (i == 0 && j == 36) ? top : 0.0f;
      ASSERT_EQ(z[j * 50 + i], want) << i << "," << j;
    }
  EXPECT_EQ(h.relm(o.handle), 0);
}

TEST_F(SubmatrixTest, RegionChecksAndReadOnlyPuts) {
  test::MatrixHost h(120000, kL, 6);
  ASSERT_TRUE(h.ready());
  auto o = h.newm("R", 1, 1, 3, 30, 20);
  ASSERT_EQ(o.ierr, 0);
  std::vector<int32_t> a(31 * 21, 7);
  const int32_t D = o.handle;
  EXPECT_EQ(h.puts(D, 1, 30, 1, 20, a.data(), 30), 0);  // i1 + nr - 1 = m
  struct Bad {
    int32_t i1, nr, j1, nc, lda;
  };
  for (const Bad &b : {Bad{1, 31, 1, 20, 31}, Bad{0, 1, 1, 1, 1}, Bad{1, 1, 21, 1, 1},
                       Bad{1, 0, 1, 1, 1}, Bad{1, 1, 1, 0, 1}, Bad{1, 1, 1, 1, 0},
                       Bad{1, 5, 1, 2, 4}, Bad{2147483647, 2, 1, 1, 2}}) {
    host_.trace[0] = 0;
    EXPECT_EQ(h.puts(D, b.i1, b.nr, b.j1, b.nc, a.data(), b.lda), status::kRegionOutside);
    EXPECT_EQ(host_.trace_codes(), std::vector<int32_t>{29527});
    host_.trace[0] = 0;
    EXPECT_EQ(h.gets(D, b.i1, b.nr, b.j1, b.nc, a.data(), b.lda), status::kRegionOutside);
    EXPECT_EQ(host_.trace_codes(), std::vector<int32_t>{29455});
  }
  ASSERT_EQ(h.relm(o.handle), 0);

  // Read-only: every put fails with 35 whatever its arguments; gets work.
  auto ro = h.oldm("R", 1, 1);
  ASSERT_EQ(ro.ierr, 0);
  host_.trace[0] = 0;
  EXPECT_EQ(h.puts(ro.handle, 0, 0, 0, 0, a.data(), 0), status::kReadOnly);
  EXPECT_EQ(host_.trace_codes(), std::vector<int32_t>{29526});
  std::vector<int32_t> b(30 * 20);
  EXPECT_EQ(h.gets(ro.handle, 1, 30, 1, 20, b.data(), 30), 0);
  for (int32_t v : b) EXPECT_EQ(v, 7);
  ASSERT_EQ(h.relm(ro.handle), 0);
}

TEST_F(SubmatrixTest, HandlesThatNameNoOpenMatrixAreRefused) {
  test::MatrixHost h(120000, kL, 6);
  ASSERT_TRUE(h.ready());
  auto o = h.newm("H", 1, 1, 3, 10, 10);
  ASSERT_EQ(o.ierr, 0);
  int32_t x = 1;
  const int32_t D = o.handle;
  for (int32_t bad : {0, -5, D + 1, D + 128 * 3, 1 << 30}) {
    EXPECT_EQ(h.puts(bad, 1, 1, 1, 1, &x, 1), status::kNoSuchMatrix) << bad;
    EXPECT_EQ(h.gets(bad, 1, 1, 1, 1, &x, 1), status::kNoSuchMatrix) << bad;
  }
  ASSERT_EQ(h.relm(o.handle), 0);
  // A released handle is no longer open.
  EXPECT_EQ(h.puts(D, 1, 1, 1, 1, &x, 1), status::kNoSuchMatrix);
}

// A long random sequence on four matrices of different types and forms, with
// so few buffers that most puts and gets evict and write back other blocks,
// and with the file set removed and reopened half-way.
TEST_F(SubmatrixTest, RandomPutsAndGetsFollowTheModelUnderConstantEviction) {
  test::MatrixHost h(44000, kL, 8);
  ASSERT_TRUE(h.ready());
  const int32_t buffers = h.cw(cw::kBufferCount);
  ASSERT_LT(buffers, 100) << "the pool should be small";
  struct Shape {
    const char *name;
    int32_t t, k, form, m, n;
  };
  const Shape shapes[] = {{"ints", 1, 1, 3, 120, 100},
                        {"dsym", 4, 1, 1, 90, 90},
                        {"zvec", 10, 2, 3, 40, 33},
                        {"cup", 5, 1, 6, 70, 80}};
  std::vector<Model> models;
  std::vector<int32_t> handles;
  int64_t blocks = 0;
  for (const Shape &s : shapes) {
    auto o = h.newm(s.name, 1, s.t + 256 * s.k, s.form, s.m, s.n);
    ASSERT_EQ(o.ierr, 0) << s.name;
    handles.push_back(o.handle);
    models.emplace_back(s.t, s.k, s.form, h.dw(o.handle, dw::kBlockOrder), s.m,
                        h.dw(o.handle, dw::kStoredCols));
    blocks += h.dw(o.handle, dw::kGridBlocks);
  }
  ASSERT_GT(blocks, 3 * buffers);

  std::mt19937 rng(2024);
  const int32_t kOps = 3000;
  for (int32_t op = 0; op < kOps; ++op) {
    if (op == kOps / 2) {
      // Blocks were evicted and written back long before any release.
      EXPECT_GT(test::faults_calls(test::DafOp::kWrite), 500);
      EXPECT_GT(test::faults_calls(test::DafOp::kRead), 500);
      for (int32_t &D : handles) ASSERT_EQ(h.relm(D), 0);
      ASSERT_EQ(h.remove(), 0);
      ASSERT_EQ(h.reopen(), 0);
      for (size_t i = 0; i < handles.size(); ++i) {
        auto o = h.oldm(shapes[i].name, 1);
        ASSERT_EQ(o.ierr, 0);
        handles[i] = o.handle;
      }
    }
    const size_t which = std::uniform_int_distribution<size_t>(0, models.size() - 1)(rng);
    Model &model = models[which];
    const int32_t D = handles[which];
    const Region r = random_region(rng, model.m, model.ns, 24);
    if (std::uniform_int_distribution<int32_t>(0, 1)(rng) == 0) {
      Dense a = random_array(rng, r.nr, r.nc, model.t, model.k);
      ASSERT_EQ(h.puts(D, r.i1, r.nr, r.j1, r.nc, a.w.data(), r.nr), 0) << op;
      model.put(r.i1, r.j1, a);
    } else {
      Dense a(r.nr, r.nc, model.stored.ew);
      ASSERT_EQ(h.gets(D, r.i1, r.nr, r.j1, r.nc, a.w.data(), r.nr), 0) << op;
      ASSERT_TRUE(model.matches(r.i1, r.j1, a)) << "operation " << op;
    }
  }
  for (size_t i = 0; i < models.size(); ++i) {
    Dense all(models[i].m, models[i].ns, models[i].stored.ew);
    ASSERT_EQ(h.gets(handles[i], 1, models[i].m, 1, models[i].ns, all.w.data(), models[i].m), 0);
    EXPECT_TRUE(models[i].matches(1, 1, all)) << shapes[i].name;
    ASSERT_EQ(h.relm(handles[i]), 0);
  }
}

}  // namespace
}  // namespace tessera
