/**
 * \file tessera_sizing.h
 * \brief Control-area sizing: the length in words a host passes to hminmf()
 * for a record length, a number of file sets and matrices and a number of
 * block buffers.
 *
 * hminmf() checks only the slot tables; the first hmnewf() or hmoldf() then
 * lays out the pools and gives the buffer pool all the rest, refusing with
 * status 101 when that is too little. These functions follow the library's
 * own layout, so an area of tessera_control_length() words takes the first
 * file set, nfs sets in all, ndesc open matrices and hyperblocks of order at
 * least 1, and gets at least the buffers asked for. Header-only C.
 *
 * \code
 * // 8192-word records, 2 file sets, 6 matrices, hyperblocks of 4 x 4 blocks.
 * int32_t want = tessera_buffers_for_hyperblock(4, 6);
 * int32_t length = tessera_control_length(8192, 2, 6, want);
 * \endcode
 */
#ifndef TESSERA_SIZING_H
#define TESSERA_SIZING_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** \cond internal */
static inline int64_t tessera_sizing_ceil_(int64_t a, int64_t b) { return (a + b - 1) / b; }
/* Round a word position up so that position - 1 is a multiple of g. */
static inline int64_t tessera_sizing_round_(int64_t p, int64_t g) {
  return tessera_sizing_ceil_(p - 1, g) * g + 1;
}
/* The layout the first file set gives a control area of `length` words:
 * returns the number of buffers of its pool, or -1 when hminmf or the pool
 * set-up would refuse the area. */
static inline int64_t tessera_sizing_buffers_(int64_t length, int64_t L, int64_t S, int64_t T,
                                              int64_t m) {
  const int64_t g = 128, E = length - 256;
  if (L < 128 || S < 1 || T < 1 || length < 641 * S + 129 * T + 12928) return -1;
  /* hminmf: slot tables, file-set areas, descriptor slots. */
  const int64_t desc_links = tessera_sizing_ceil_(641 * S + 256, g) * g + 1;
  int64_t next = tessera_sizing_ceil_(desc_links + T + 128 * T - 1, g) * g + 1;
  /* The set's tables: an index region of at least 50 records, 200 in an
   * area of 950000 words or more. A set opened later may have been made
   * in a large area, so the larger region is always allowed for. */
  const int64_t M = m > 200 ? m : 200;
  const int64_t u = tessera_sizing_ceil_(L, g) * g, b = u;
  const int64_t a1 = tessera_sizing_ceil_(40 * M, L) * L / 4;
  const int64_t a2 = tessera_sizing_ceil_(24 * M, L) * L / 12;
  const int64_t a3 = ((L + 127) / L) * L / 4, a4 = 128, a5 = 128;
  /* Unit pool. */
  const int64_t v = tessera_sizing_ceil_(b, u);
  const int64_t U = (tessera_sizing_ceil_(4 * a1, u) + tessera_sizing_ceil_(12 * a2, u)) * S +
                    tessera_sizing_ceil_(4 * a3, u) * T + v * T + v * S;
  if (E - next + 1 < (u + 4) * U) return -1;
  next = tessera_sizing_round_(tessera_sizing_round_(next + 4 * U, g) + U * u, g);
  /* Pair pool. */
  int64_t k = 0, e = E;
  while (e > 1) { e >>= 1; ++k; }
  const int64_t D = (tessera_sizing_ceil_(4 * k + 8, g) + tessera_sizing_ceil_(49 * (E / (6 * b)), g) +
                     tessera_sizing_ceil_(18 * b, g) + tessera_sizing_ceil_(5 * b, g)) * g;
  if (E - next + 1 < D + 4 * a4) return -1;
  next = tessera_sizing_round_(tessera_sizing_round_(next + 4 * a4, g) + D, g);
  /* Word pool. */
  if (E - next + 1 < 90 * T) return -1;
  next = tessera_sizing_round_(tessera_sizing_round_(next + 4 * T, g) + 86 * T, g);
  /* Spare nodes. */
  if (E - next + 1 < 4 * a5) return -1;
  next = tessera_sizing_round_(next + 4 * a5, g);
  /* Buffer pool: the rest, 14 header words and one record per buffer. */
  const int64_t B = (E - g - next + 1) / (b + 14);
  return B < 2 * T + 30 ? -1 : B;
}
/** \endcond */

/**
 * \brief Hyperblock order of the matrices created in an area whose buffer
 * pool holds `buffers` buffers and that has `ndesc` matrix slots.
 *
 * The order b1 is the number of blocks on a hyperblock side: hlmult() keeps
 * one hyperblock of each operand (b1 x b1 blocks) in the buffers at a time.
 * hmnewm() refuses with status 105 when this is 0.
 *
 * \param buffers  buffers of the pool (control-area word ::TESSERA_CTRL_BUFFERS)
 * \param ndesc    matrix slots given to hminmf()
 * \return the hyperblock order, 0 when the pool is too small
 */
static inline int32_t tessera_hyperblock_order(int32_t buffers, int32_t ndesc) {
  const int64_t q = ((int64_t)buffers - (3 * (int64_t)ndesc + 15)) / 18;
  int32_t b1 = 0;
  /* The largest b1 with b1 <= sqrt(q) + 0.1, that is (10 b1 - 1)^2 <= 100 q. */
  if (q < 1) return 0;
  while ((int64_t)(10 * (b1 + 1) - 1) * (10 * (b1 + 1) - 1) <= 100 * q) ++b1;
  return b1;
}

/**
 * \brief Buffers a pool needs so that new matrices get hyperblocks of order
 * at least `b1`.
 *
 * \param b1     wanted hyperblock order, 1 or more
 * \param ndesc  matrix slots given to hminmf()
 * \return the number of buffers: 18 b1^2 + 3 ndesc + 15
 */
static inline int32_t tessera_buffers_for_hyperblock(int32_t b1, int32_t ndesc) {
  return 18 * b1 * b1 + 3 * ndesc + 15;
}

/**
 * \brief Control-area length for a file set of a given index region.
 *
 * As tessera_control_length(), for sets created with `index_records`
 * records of index region (the argument of hmnewf()), or opened after being
 * created so.
 *
 * \param record_length  record length in words (control-area word
 *                       ::TESSERA_CTRL_RECORD_LENGTH), 128 or more
 * \param nfs            file sets open at once, 1 or more
 * \param ndesc          matrices open at once, 1 or more
 * \param buffers        block buffers wanted (one record each); fewer than
 *                       what one hyperblock of order 1 needs are raised to it
 * \param index_records  index-region records of the sets, 0 for the default
 * \return the length in words, or 0 when the arguments are out of range or
 *         no area of at most 2^31 - 1 words fits
 */
static inline int32_t tessera_control_length_for(int32_t record_length, int32_t nfs,
                                                  int32_t ndesc, int32_t buffers,
                                                  int32_t index_records) {
  const int64_t L = record_length, S = nfs, T = ndesc;
  const int64_t b = tessera_sizing_ceil_(L, 128) * 128;
  int64_t want = buffers, length, step;
  if (L < 128 || S < 1 || T < 1 || buffers < 0 || index_records < 0) return 0;
  if (want < tessera_buffers_for_hyperblock(1, ndesc)) want = tessera_buffers_for_hyperblock(1, ndesc);
  /* From the slot tables' minimum plus the buffers themselves upward: every
   * step adds what is still missing, so the search ends within a few steps
   * (the pair pool grows slowly with the area, the tables not at all). */
  length = 641 * S + 129 * T + 12928 + want * (b + 14);
  for (step = 0; step < 64 && length <= INT32_MAX; ++step) {
    const int64_t got = tessera_sizing_buffers_(length, L, S, T, index_records);
    if (got >= want) return (int32_t)length;
    length += (got < 0 ? 16 : want - got) * (b + 14);
  }
  return 0;
}

/**
 * \brief Control-area length in words that works for the first file set and
 * gives at least `buffers` block buffers.
 *
 * Pass the result to hminmf() with the same nfs and ndesc, and set
 * ::TESSERA_CTRL_RECORD_LENGTH to `record_length` before the first hmnewf()
 * (hmoldf() of a set with that record length needs the same). Sets created
 * with the default index region are covered.
 *
 * \param record_length  record length in words, 128 or more
 * \param nfs            file sets open at once, 1 or more
 * \param ndesc          matrices open at once, 1 or more
 * \param buffers        block buffers wanted; raised to what a hyperblock of
 *                       order 1 needs (tessera_buffers_for_hyperblock())
 * \return the length in words, or 0 when the arguments are out of range or
 *         no area of at most 2^31 - 1 words fits
 */
static inline int32_t tessera_control_length(int32_t record_length, int32_t nfs, int32_t ndesc,
                                             int32_t buffers) {
  return tessera_control_length_for(record_length, nfs, ndesc, buffers, 0);
}

/**
 * \brief Smallest initial size in words that hmnewf() accepts for a set.
 *
 * hmnewf() gives a new set about 640 000 words unless asked for more, and
 * refuses (status 170) a set whose index region (at least 50 records, 200 in
 * an area of 950 000 words or more) would leave no data record: with large
 * records the default is too small. Pass at least this as `initial_words`.
 *
 * \param record_length   record length in words
 * \param control_length  length of the control area given to hminmf()
 * \param index_records   the `index_records` argument of hmnewf()
 * \return words for the index region and one data record, at most
 *         2^31 - 1
 */
static inline int32_t tessera_fileset_min_words(int32_t record_length, int32_t control_length,
                                                int32_t index_records) {
  const int64_t floor_records = control_length >= 950000 ? 200 : 50;
  const int64_t M = index_records > floor_records ? index_records : floor_records;
  const int64_t words = (M + 1) * (int64_t)record_length;
  return words > INT32_MAX ? INT32_MAX : (int32_t)words;
}

#ifdef __cplusplus
}
#endif

#endif /* TESSERA_SIZING_H */
