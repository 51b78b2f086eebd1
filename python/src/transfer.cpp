// Region transfer between numpy arrays and matrices.
//
// The library reads and writes column-major host arrays with a leading
// dimension. A numpy array whose rows are adjacent in memory (Fortran order,
// or a column slice of one) is handed over as it is, with the GIL released
// for the length of the call. Other layouts (C order, transposed views,
// broadcast values) go through column-major scratch, one panel of columns at
// a time; panels end on block-column boundaries, so each block is written
// whole by one call and the scratch stays a few MiB.
#include "transfer.h"

#include <algorithm>
#include <complex>
#include <cstring>
#include <future>
#include <vector>

#include "descriptor_words.h"

namespace py = pybind11;

namespace tessera::python {

namespace {

// Bytes of a panel: large enough that the library's per-call work is
// nothing beside it, small enough that two panels of scratch do not matter.
// The tests make it small to run many panels through small matrices.
int64_t g_panel_bytes = int64_t{32} << 20;
// Side of the tiles of the strided copy: a tile of doubles (8 KiB) stays in
// the first-level cache whichever side is the strided one.
constexpr int64_t kTile = 32;

// A two-dimensional strided array in bytes.
struct Strided {
  char *data;
  int64_t rows, cols;
  int64_t row_stride, col_stride;  // bytes
};

// Copies a strided array into column-major memory with leading dimension
// `ld` (elements), or back when `into_strided` is set.
template <int64_t E, bool into_strided>
void copy_tiles(Strided s, char *dense, int64_t ld) {
  if (s.row_stride == E) {
    for (int64_t j = 0; j < s.cols; ++j) {
      char *col = s.data + j * s.col_stride;
      char *d = dense + j * ld * E;
      if constexpr (into_strided) {
        std::memcpy(col, d, static_cast<size_t>(s.rows * E));
      } else {
        std::memcpy(d, col, static_cast<size_t>(s.rows * E));
      }
    }
    return;
  }
  // Inside a tile the dense side is walked along its columns: contiguous
  // there, strided on the other side (about twice as fast as the other way
  // round for a row-major source).
  for (int64_t jt = 0; jt < s.cols; jt += kTile) {
    const int64_t je = std::min(s.cols, jt + kTile);
    for (int64_t it = 0; it < s.rows; it += kTile) {
      const int64_t ie = std::min(s.rows, it + kTile);
      for (int64_t j = jt; j < je; ++j) {
        char *p = s.data + it * s.row_stride + j * s.col_stride;
        char *d = dense + (j * ld + it) * E;
        for (int64_t i = it; i < ie; ++i, p += s.row_stride, d += E) {
          if constexpr (into_strided) {
            std::memcpy(p, d, E);
          } else {
            std::memcpy(d, p, E);
          }
        }
      }
    }
  }
}

void copy_strided(Strided s, int64_t item, char *dense, int64_t ld, bool into_strided) {
  switch (item * 2 + (into_strided ? 1 : 0)) {
    case 8: copy_tiles<4, false>(s, dense, ld); break;
    case 9: copy_tiles<4, true>(s, dense, ld); break;
    case 16: copy_tiles<8, false>(s, dense, ld); break;
    case 17: copy_tiles<8, true>(s, dense, ld); break;
    case 32: copy_tiles<16, false>(s, dense, ld); break;
    case 33: copy_tiles<16, true>(s, dense, ld); break;
    default: refuse("put", "unsupported element size " + std::to_string(item));
  }
}

// The leading dimension to hand the library an array as it is, or 0 when its
// layout is not column-major with a leading dimension of at least its rows.
int32_t direct_lda(const Strided &s, int64_t item) {
  if (s.row_stride != item && s.rows > 1) return 0;
  if (s.cols == 1) return static_cast<int32_t>(std::max<int64_t>(s.rows, 1));
  if (s.col_stride <= 0 || s.col_stride % item != 0) return 0;
  const int64_t ld = s.col_stride / item;
  if (ld < s.rows || ld > INT32_MAX) return 0;
  return static_cast<int32_t>(ld);
}

// First element strictly below the diagonal of the matrix (global row >
// global column) that is not zero; -1 when there is none.
template <class T>
std::pair<int64_t, int64_t> nonzero_below(const Strided &s, int64_t i0, int64_t j0) {
  for (int64_t j = 0; j < s.cols; ++j) {
    const int64_t first = std::max<int64_t>(0, j0 + j + 1 - i0);
    const char *p = s.data + first * s.row_stride + j * s.col_stride;
    for (int64_t i = first; i < s.rows; ++i, p += s.row_stride) {
      T v;
      std::memcpy(&v, p, sizeof v);
      if (!(v == T(0))) return {i, j};
    }
  }
  return {-1, -1};
}

std::pair<int64_t, int64_t> nonzero_below(const Strided &s, int32_t type_code, int64_t i0,
                                          int64_t j0) {
  switch (type_code) {
    case TESSERA_TYPE_INT32: return nonzero_below<int32_t>(s, i0, j0);
    case TESSERA_TYPE_FLOAT: return nonzero_below<float>(s, i0, j0);
    case TESSERA_TYPE_DOUBLE: return nonzero_below<double>(s, i0, j0);
    case TESSERA_TYPE_COMPLEX_FLOAT: return nonzero_below<std::complex<float>>(s, i0, j0);
    case TESSERA_TYPE_COMPLEX_DOUBLE: return nonzero_below<std::complex<double>>(s, i0, j0);
    default: refuse("put", "unsupported element type " + std::to_string(type_code));
  }
}

Strided strided_of(const py::array &a) {
  if (a.ndim() != 2) refuse("put", "the value must be two-dimensional");
  return Strided{static_cast<char *>(const_cast<void *>(a.data())), a.shape(0), a.shape(1),
                 a.strides(0), a.strides(1)};
}

void check_region(const MatrixCore &m, int64_t i0, int64_t nr, int64_t j0, int64_t nc,
                  int64_t item, int64_t given_item) {
  const MatrixShape &shape = m.shape();
  if (given_item != item) {
    refuse("put", "the array's elements have " + std::to_string(given_item) +
                      " bytes, the matrix's " + std::to_string(item));
  }
  if (i0 < 0 || j0 < 0 || nr < 1 || nc < 1 || i0 + nr > shape.rows || j0 + nc > shape.cols) {
    refuse("region", "rows " + std::to_string(i0) + ":" + std::to_string(i0 + nr) +
                         ", columns " + std::to_string(j0) + ":" + std::to_string(j0 + nc) +
                         " do not lie in " + m.describe());
  }
}

// Column panels of about g_panel_bytes of a region of nr rows, whole blocks
// wide and ending on block-column boundaries (global columns), so that each
// block is moved by one call.
std::vector<std::pair<int64_t, int64_t>> panels(int64_t j0, int64_t nc, int64_t nr, int64_t item,
                                                int32_t nb) {
  const int64_t column_bytes = std::max<int64_t>(1, nr * item);
  int64_t width = std::max<int64_t>(1, g_panel_bytes / column_bytes);
  if (nb > 0) width = std::max<int64_t>(nb, width - width % nb);
  std::vector<std::pair<int64_t, int64_t>> out;
  for (int64_t j = j0, end = j0 + nc; j < end;) {
    const int64_t stop = std::min(end, (j / width + 1) * width);
    out.emplace_back(j, stop - j);
    j = stop;
  }
  return out;
}

// Runs prepare(k + 1) and finish(k - 1) on a helper thread while move(k)
// runs on this one: memory work (copying between layouts, the first touch
// of new pages) overlaps the library's calls on a second core. Only move()
// calls the library; panel k uses scratch k mod 2.
template <class Prepare, class Move, class Finish>
void pipeline(size_t count, Prepare prepare, Move move, Finish finish) {
  if (count == 0) return;
  prepare(0);
  for (size_t k = 0; k < count; ++k) {
    auto helper = std::async(std::launch::async, [&, k] {
      if (k > 0) finish(k - 1);
      if (k + 1 < count) prepare(k + 1);
    });
    // The helper is joined before an exception of move() leaves the loop:
    // the future's destructor waits for it.
    move(k);
    helper.get();
  }
  finish(count - 1);
}

// Writes one byte of each page of [p, p + bytes), so that the kernel maps
// (and zeroes) fresh pages before the library's copy reaches them.
void touch_pages(char *p, int64_t bytes) {
  constexpr int64_t kPage = 4096;
  for (int64_t off = 0; off < bytes; off += kPage) p[off] = 0;
  if (bytes > 0) p[bytes - 1] = 0;
}

int64_t item_bytes(const MatrixCore &m) {
  return int64_t{4} * tessera_words_per_item(m.shape().type_code) * m.shape().items;
}

}  // namespace

int64_t set_panel_bytes(int64_t bytes) {
  LibraryCall call;
  const int64_t old = g_panel_bytes;
  g_panel_bytes = std::max<int64_t>(1, bytes);
  return old;
}

void put_array(MatrixCore &m, int64_t i0, int64_t j0, const py::array &value) {
  const Strided s = strided_of(value);
  const int64_t item = item_bytes(m);
  check_region(m, i0, s.rows, j0, s.cols, item, value.itemsize());
  LibraryCall call;
  m.require_open("put");
  const MatrixShape &shape = m.shape();
  // The library ignores what an upper-triangular matrix does not store;
  // a value that would be dropped is refused instead. (A read-only matrix
  // is left to the library's own refusal.)
  if (shape.form == TESSERA_FORM_UPPER && !shape.readonly && i0 + s.rows - 1 > j0) {
    const auto [r, c] = nonzero_below(s, shape.type_code, i0, j0);
    if (r >= 0) {
      throw py::value_error("the value at row " + std::to_string(i0 + r) + ", column " +
                            std::to_string(j0 + c) + " lies below the diagonal of " +
                            m.describe() + ", which is upper triangular and keeps only zeros "
                            "there");
    }
  }
  if (const int32_t lda = direct_lda(s, item)) {
    m.put_locked(static_cast<int32_t>(i0), static_cast<int32_t>(s.rows),
                 static_cast<int32_t>(j0), static_cast<int32_t>(s.cols), s.data, lda);
    return;
  }
  const auto parts = panels(j0, s.cols, s.rows, item, m.descriptor_word(words::kBlockOrder));
  int64_t widest = 0;
  for (const auto &p : parts) widest = std::max(widest, p.second);
  std::vector<char> scratch[2];
  for (auto &buffer : scratch) buffer.resize(static_cast<size_t>(s.rows * widest * item));
  pipeline(
      parts.size(),
      [&](size_t k) {
        const auto [j, w] = parts[k];
        Strided panel{s.data + (j - j0) * s.col_stride, s.rows, w, s.row_stride, s.col_stride};
        copy_strided(panel, item, scratch[k % 2].data(), s.rows, false);
      },
      [&](size_t k) {
        const auto [j, w] = parts[k];
        m.put_locked(static_cast<int32_t>(i0), static_cast<int32_t>(s.rows),
                     static_cast<int32_t>(j), static_cast<int32_t>(w), scratch[k % 2].data(),
                     static_cast<int32_t>(s.rows));
      },
      [](size_t) {});
}

py::array get_array(MatrixCore &m, int64_t i0, int64_t nr, int64_t j0, int64_t nc,
                    const py::dtype &dtype) {
  const int64_t item = item_bytes(m);
  check_region(m, i0, nr, j0, nc, item, dtype.itemsize());
  py::array out(dtype, {nr, nc}, {item, item * nr});
  char *data = static_cast<char *>(out.mutable_data());
  {
    LibraryCall call;
    m.require_open("get");
    // The new array's pages are fresh: they are touched a panel ahead of
    // the library's copy, by the helper.
    const auto parts = panels(j0, nc, nr, item, m.descriptor_word(words::kBlockOrder));
    pipeline(
        parts.size(),
        [&](size_t k) {
          const auto [j, w] = parts[k];
          touch_pages(data + (j - j0) * nr * item, w * nr * item);
        },
        [&](size_t k) {
          const auto [j, w] = parts[k];
          m.get_locked(static_cast<int32_t>(i0), static_cast<int32_t>(nr),
                       static_cast<int32_t>(j), static_cast<int32_t>(w),
                       data + (j - j0) * nr * item, static_cast<int32_t>(nr));
        },
        [](size_t) {});
  }
  return out;
}

void get_into(MatrixCore &m, int64_t i0, int64_t j0, py::array &out) {
  if (!out.writeable()) refuse("get", "the output array is read-only");
  const Strided s = strided_of(out);
  const int64_t item = item_bytes(m);
  check_region(m, i0, s.rows, j0, s.cols, item, out.itemsize());
  LibraryCall call;
  m.require_open("get");
  if (const int32_t lda = direct_lda(s, item)) {
    m.get_locked(static_cast<int32_t>(i0), static_cast<int32_t>(s.rows), static_cast<int32_t>(j0),
                 static_cast<int32_t>(s.cols), s.data, lda);
    return;
  }
  const auto parts = panels(j0, s.cols, s.rows, item, m.descriptor_word(words::kBlockOrder));
  int64_t widest = 0;
  for (const auto &p : parts) widest = std::max(widest, p.second);
  std::vector<char> scratch[2];
  for (auto &buffer : scratch) buffer.resize(static_cast<size_t>(s.rows * widest * item));
  pipeline(
      parts.size(), [](size_t) {},
      [&](size_t k) {
        const auto [j, w] = parts[k];
        m.get_locked(static_cast<int32_t>(i0), static_cast<int32_t>(s.rows),
                     static_cast<int32_t>(j), static_cast<int32_t>(w), scratch[k % 2].data(),
                     static_cast<int32_t>(s.rows));
      },
      [&](size_t k) {
        const auto [j, w] = parts[k];
        Strided panel{s.data + (j - j0) * s.col_stride, s.rows, w, s.row_stride, s.col_stride};
        copy_strided(panel, item, scratch[k % 2].data(), s.rows, true);
      });
}

}  // namespace tessera::python
