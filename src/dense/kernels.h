// Inner loops shared by the Crout decomposition and the substitutions:
// inner products accumulated in two partial sums, magnitude scans unrolled in
// fours. Written once over the real kind; nothing here allocates.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace tessera {

// A pivot or diagonal entry counts as negligible when its magnitude does not
// exceed the largest magnitude around it divided by this (2^55, a little past
// the double mantissa).
inline constexpr double kNegligibleScale = 36028797018963968.0;

// Sum of a[i] * b[i] for i < len, even and odd terms in separate sums that
// are added at the end.
template <class Real>
inline Real cr_dot(const Real *a, const Real *b, int32_t len) {
  Real even = 0, odd = 0;
  int32_t i = 0;
  for (; i + 1 < len; i += 2) {
    even += a[i] * b[i];
    odd += a[i + 1] * b[i + 1];
  }
  if (i < len) even += a[i] * b[i];
  return even + odd;
}

// The same with a stride through a (a row of a column-major matrix).
template <class Real>
inline Real cr_dot_strided(const Real *a, std::ptrdiff_t stride, const Real *b, int32_t len) {
  Real even = 0, odd = 0;
  int32_t i = 0;
  for (; i + 1 < len; i += 2) {
    even += a[i * stride] * b[i];
    odd += a[(i + 1) * stride] * b[i + 1];
  }
  if (i < len) even += a[i * stride] * b[i];
  return even + odd;
}

// Largest |a[i]| for i < len (len >= 1), four running maxima.
template <class Real>
inline Real cr_max_abs(const Real *a, std::size_t len) {
  Real m0 = std::fabs(a[0]), m1 = m0, m2 = m0, m3 = m0;
  std::size_t i = 1;
  for (; i + 3 < len; i += 4) {
    const Real v0 = std::fabs(a[i]), v1 = std::fabs(a[i + 1]);
    const Real v2 = std::fabs(a[i + 2]), v3 = std::fabs(a[i + 3]);
    if (v0 > m0) m0 = v0;
    if (v1 > m1) m1 = v1;
    if (v2 > m2) m2 = v2;
    if (v3 > m3) m3 = v3;
  }
  for (; i < len; ++i) {
    const Real v = std::fabs(a[i]);
    if (v > m0) m0 = v;
  }
  if (m1 > m0) m0 = m1;
  if (m2 > m0) m0 = m2;
  if (m3 > m0) m0 = m3;
  return m0;
}

// Smallest |a[i * step]| for i < len (len >= 1) and its 1-based index, the
// first one on ties. Unrolled in fours but compared in order, so the first
// index wins.
template <class Real>
inline Real cr_min_abs_strided(const Real *a, std::ptrdiff_t step, int32_t len, int32_t &at) {
  Real best = std::fabs(a[0]);
  at = 1;
  int32_t i = 1;
  auto take = [&](int32_t idx) {
    const Real v = std::fabs(a[idx * step]);
    if (v < best) {
      best = v;
      at = idx + 1;
    }
  };
  for (; i + 3 < len; i += 4) {
    take(i);
    take(i + 1);
    take(i + 2);
    take(i + 3);
  }
  for (; i < len; ++i) take(i);
  return best;
}

}  // namespace tessera
