// Element kinds of the algebra kernels: how one item of each element type is
// loaded, stored and combined. Blocks are untyped word runs in which doubles
// may start on any 4-byte boundary, so items move through memcpy (a plain
// load or store once compiled). Integers compute in uint32_t so that sums and
// products wrap at 32 bits without signed overflow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tessera::kinds {

using Bytes = unsigned char;

template <class V>
inline V load(const Bytes *p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class V>
inline void store(Bytes *p, const V &v) {
  std::memcpy(p, &v, sizeof v);
}

struct Int {
  using value = uint32_t;
  static constexpr bool complex = false;
  static value mul(value a, value b) { return a * b; }
  static value add(value a, value b) { return a + b; }
  static value sub(value a, value b) { return a - b; }
  static value neg(value a) { return 0u - a; }
  static value conj(value a) { return a; }
  static value zero() { return 0u; }
};

template <class R>
struct Real {
  using value = R;
  static constexpr bool complex = false;
  static value mul(value a, value b) { return a * b; }
  static value add(value a, value b) { return a + b; }
  static value sub(value a, value b) { return a - b; }
  static value neg(value a) { return -a; }
  static value conj(value a) { return a; }
  static value zero() { return R(0); }
};

// A complex item is its real part followed by its imaginary part.
template <class R>
struct Complex {
  struct value {
    R re, im;
  };
  static_assert(sizeof(value) == 2 * sizeof(R));
  static constexpr bool complex = true;
  static value mul(value a, value b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
  static value add(value a, value b) { return {a.re + b.re, a.im + b.im}; }
  static value sub(value a, value b) { return {a.re - b.re, a.im - b.im}; }
  static value neg(value a) { return {-a.re, -a.im}; }
  static value conj(value a) { return {a.re, -a.im}; }
  static value zero() { return {R(0), R(0)}; }
};

using F32 = Real<float>;
using F64 = Real<double>;
using C32 = Complex<float>;
using C64 = Complex<double>;

}  // namespace tessera::kinds
