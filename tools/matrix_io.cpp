#include "matrix_io.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tessera.h"

namespace tessera::tool {

void require_single_numbers(const tessera_matrix_info &m) {
  switch (m.type) {
    case TESSERA_TYPE_INT32:
    case TESSERA_TYPE_FLOAT:
    case TESSERA_TYPE_DOUBLE:
    case TESSERA_TYPE_COMPLEX_FLOAT:
    case TESSERA_TYPE_COMPLEX_DOUBLE:
    case TESSERA_TYPE_INT32_COLUMN:
      return;
    default:
      throw UserError("matrix " + matrix_label(m) + " holds elements of type " +
                      type_name(m.type, m.items) +
                      "; a Matrix Market file holds one number (or one complex number) per entry");
  }
}

size_t element_bytes(int32_t type) {
  switch (type) {
    case TESSERA_TYPE_DOUBLE:
    case TESSERA_TYPE_COMPLEX_FLOAT: return 8;
    case TESSERA_TYPE_COMPLEX_DOUBLE: return 16;
    default: return 4;
  }
}

mm::Field field_of(int32_t type) {
  switch (type) {
    case TESSERA_TYPE_INT32:
    case TESSERA_TYPE_INT32_COLUMN: return mm::Field::integer;
    case TESSERA_TYPE_COMPLEX_FLOAT:
    case TESSERA_TYPE_COMPLEX_DOUBLE: return mm::Field::complex;
    default: return mm::Field::real;
  }
}

bool is_complex(int32_t type) { return field_of(type) == mm::Field::complex; }

void load_number(const unsigned char *at, int32_t type, double &re, double &im) {
  im = 0;
  switch (type) {
    case TESSERA_TYPE_FLOAT: {
      float v;
      std::memcpy(&v, at, 4);
      re = v;
      break;
    }
    case TESSERA_TYPE_DOUBLE: std::memcpy(&re, at, 8); break;
    case TESSERA_TYPE_COMPLEX_FLOAT: {
      float v[2];
      std::memcpy(v, at, 8);
      re = v[0];
      im = v[1];
      break;
    }
    case TESSERA_TYPE_COMPLEX_DOUBLE: {
      double v[2];
      std::memcpy(v, at, 16);
      re = v[0];
      im = v[1];
      break;
    }
    default: {
      int32_t v;
      std::memcpy(&v, at, 4);
      re = v;
    }
  }
}

bool store_number(unsigned char *at, int32_t type, double re, double im) {
  switch (type) {
    case TESSERA_TYPE_FLOAT: {
      const float v = static_cast<float>(re);
      std::memcpy(at, &v, 4);
      return true;
    }
    case TESSERA_TYPE_DOUBLE: std::memcpy(at, &re, 8); return true;
    case TESSERA_TYPE_COMPLEX_FLOAT: {
      const float v[2] = {static_cast<float>(re), static_cast<float>(im)};
      std::memcpy(at, v, 8);
      return true;
    }
    case TESSERA_TYPE_COMPLEX_DOUBLE: {
      const double v[2] = {re, im};
      std::memcpy(at, v, 16);
      return true;
    }
    default: {
      if (!(re == std::trunc(re)) || re < INT32_MIN || re > INT32_MAX) return false;
      const int32_t v = static_cast<int32_t>(re);
      std::memcpy(at, &v, 4);
      return true;
    }
  }
}

MatrixValues::MatrixValues(const SetView &view, int32_t index)
    : view_(view), index_(index), m_(view.matrices()[static_cast<size_t>(index)]) {
  if (m_.type == 0) {
    throw UserError("matrix " + matrix_label(m_) +
                    " is damaged and is not read; run tessera check for the details");
  }
  require_single_numbers(m_);
  diagonal_ = m_.form == TESSERA_FORM_DIAGONAL;
  cols_ = m_.type == TESSERA_TYPE_INT32_COLUMN && !diagonal_ ? 1 : m_.columns;
}

void MatrixValues::get(int32_t i1, int32_t nr, int32_t j1, int32_t nc, std::vector<double> &re,
                       std::vector<double> &im) const {
  const size_t n = static_cast<size_t>(nr) * static_cast<size_t>(nc);
  re.assign(n, 0.0);
  im.assign(n, 0.0);
  const size_t eb = element_bytes(m_.type);
  if (diagonal_) {
    // The one stored column holds the diagonal.
    const int32_t first = std::max(i1, j1), last = std::min(i1 + nr - 1, j1 + nc - 1);
    if (first > last) return;
    std::vector<unsigned char> column(static_cast<size_t>(last - first + 1) * eb);
    view_.get(index_, first, last - first + 1, 1, 1, column.data(), last - first + 1);
    for (int32_t i = first; i <= last; ++i) {
      const size_t at = static_cast<size_t>(i - j1) * nr + (i - i1);
      load_number(&column[static_cast<size_t>(i - first) * eb], m_.type, re[at], im[at]);
    }
    return;
  }
  std::vector<unsigned char> bytes(n * eb);
  view_.get(index_, i1, nr, j1, nc, bytes.data(), nr);
  for (size_t k = 0; k < n; ++k) load_number(&bytes[k * eb], m_.type, re[k], im[k]);
}

int32_t MatrixValues::panel_columns(int64_t rows, int64_t bytes) const {
  const int64_t per_column = std::max<int64_t>(rows, 1) * (16 + static_cast<int64_t>(element_bytes(m_.type)));
  return static_cast<int32_t>(std::clamp<int64_t>(bytes / per_column, 1, cols_));
}

void MatrixValues::stored_nonzeros(
    int32_t i1, int32_t i2, int32_t j1, int32_t j2,
    const std::function<void(int32_t, int32_t, double, double)> &fn) const {
  const int32_t nb = m_.block_order;
  std::vector<double> re, im;
  // A logical region of the matrix, clipped to the rows and columns asked.
  auto region = [&](int64_t r0, int64_t r1, int64_t c0, int64_t c1) {
    r0 = std::max<int64_t>(r0, i1);
    r1 = std::min<int64_t>({r1, i2, m_.rows});
    c0 = std::max<int64_t>(c0, j1);
    c1 = std::min<int64_t>({c1, j2, cols_});
    if (r0 > r1 || c0 > c1) return;
    const int32_t nr = static_cast<int32_t>(r1 - r0 + 1), nc = static_cast<int32_t>(c1 - c0 + 1);
    get(static_cast<int32_t>(r0), nr, static_cast<int32_t>(c0), nc, re, im);
    for (int32_t j = 0; j < nc; ++j)
      for (int32_t i = 0; i < nr; ++i) {
        const size_t k = static_cast<size_t>(j) * nr + i;
        if (re[k] != 0 || im[k] != 0)
          fn(static_cast<int32_t>(r0 + i), static_cast<int32_t>(c0 + j), re[k], im[k]);
      }
  };
  for (const auto &[bi, bj] : view_.blocks(index_)) {
    const int64_t r0 = int64_t{bi - 1} * nb + 1, r1 = int64_t{bi} * nb;
    if (diagonal_) {
      // Block (bi, 1) holds the diagonal elements of its rows.
      for (int64_t i = std::max(r0, int64_t{i1}); i <= std::min({r1, int64_t{i2}, int64_t{m_.rows}}); ++i)
        region(i, i, i, i);
      continue;
    }
    const int64_t c0 = int64_t{bj - 1} * nb + 1, c1 = int64_t{bj} * nb;
    region(r0, r1, c0, c1);
    if (m_.form == TESSERA_FORM_SYMMETRIC && bi != bj) region(c0, c1, r0, r1);
  }
}

void write_to_stdout(const std::function<void(const std::string &path)> &write) {
  const char *base = std::getenv("TMPDIR");
  std::string dir = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tessera-XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr) throw UserError("cannot make a temporary directory in " + dir);
  struct Remove {
    std::string dir;
    ~Remove() {
      std::error_code ec;
      std::filesystem::remove_all(dir, ec);
    }
  } remove{dir};
  const std::string path = dir + "/out.mtx";
  write(path);
  FILE *in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) throw UserError("the output was lost: " + path);
  char buffer[1 << 16];
  size_t got;
  bool ok = true;
  while ((got = std::fread(buffer, 1, sizeof buffer, in)) > 0)
    ok = ok && std::fwrite(buffer, 1, got, stdout) == got;
  std::fclose(in);
  if (!ok || std::fflush(stdout) != 0) throw UserError("writing to standard output failed");
}

}  // namespace tessera::tool
