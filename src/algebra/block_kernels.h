// Block product kernels: Y := Y +/- op(A) op(B) for three blocks held in
// block buffers, for every element type, transposition case and triangular
// form, with the negligible-value trimming and the DGEMM path of double
// precision real blocks. The kernels never fail and report nothing.
//
// Blocks are column-major word runs: A is Ar x Ac with leading dimension Ar,
// B is Br x Bc with leading dimension Br, Y is rows(op(A)) x cols(op(B)) with
// leading dimension rows(op(A)). Transposed complex operands are conjugated.
// Form 6 marks an upper-triangular block whose lower half is never read; -2
// (on A) selects the trimmed transposed-times-plain double product.
#pragma once

#include <cstdint>

#include "common/type_form.h"

namespace tessera {

// Block form codes the kernels look at: the storage forms form::kUpper and
// form::kGeneral (a full block), and this one of their own.
inline constexpr int32_t kFormTrimmedTN = -2;

// The one entry of the hyperblock product. sub = 1 subtracts; ta, tb = 1
// transpose; blas is the BLAS switch (>= 1 lets full double blocks go to
// DGEMM). formA and formB may be overwritten with form::kGeneral.
void hl_mult_block(const int32_t *A, const int32_t *B, int32_t *Y, int32_t t, int32_t k,
                   int32_t &formA, int32_t Ar, int32_t Ac, int32_t &formB, int32_t Br,
                   int32_t Bc, int32_t ta, int32_t tb, int32_t sub, int32_t blas);

// A double counts when its magnitude exceeds 1e-10; smaller values and NaN
// are negligible.
bool hl_is_negligible(double v);

// Double dot products over word runs; strides count doubles and are positive.
void hl_ddot(const int32_t *x, int32_t incx, const int32_t *y, int32_t incy, int32_t n,
             double &result);
void hl_ddot_short(const int32_t *x, const int32_t *y, int32_t n, double &result);

// Negligible values of the rows (by = 1) or columns (otherwise) of the
// rows x cols block M that lie outside each vector's span (first to last
// counting value); rows*cols when every value is negligible.
void hl_count_outside(const int32_t *M, int32_t rows, int32_t cols, int32_t by, int32_t &count);

// -1: every value of A negligible; -2: every value of B negligible; 1: follow
// the spans of A; 2: follow the spans of B.
void hl_trim_choice(const int32_t *A, int32_t Ar, int32_t Ac, int32_t byA, const int32_t *B,
                    int32_t Br, int32_t Bc, int32_t byB, int32_t &choice);

// Trimmed double products of full blocks; sign < 0 subtracts.
void hl_dmul_nn_trim(const int32_t *A, int32_t Ar, int32_t Ac, const int32_t *B, int32_t Br,
                     int32_t Bc, int32_t sign, int32_t *Y);
void hl_dmul_nt_trim(const int32_t *A, int32_t Ar, int32_t Ac, const int32_t *B, int32_t Br,
                     int32_t Bc, int32_t sign, int32_t *Y);
void hl_dmul_tn_trim(const int32_t *A, int32_t Ar, int32_t Ac, const int32_t *B, int32_t Br,
                     int32_t Bc, int32_t sign, int32_t *Y);
void hl_dmul_tt_trim(const int32_t *A, int32_t Ar, int32_t Ac, const int32_t *B, int32_t Br,
                     int32_t Bc, int32_t sign, int32_t *Y);

// Y := Y + alpha op(A) op(B) through DGEMM (BETA 1). Does nothing for an
// empty product or an ldy below rows(op(A)), so DGEMM never rejects a call.
void hl_dgemm_block(const int32_t *A, int32_t Ar, int32_t Ac, const int32_t *B, int32_t Br,
                    int32_t Bc, int32_t ta, int32_t tb, double alpha, int32_t *Y, int32_t ldy);

// Unconjugated double complex dot product; strides count complex elements;
// result[0] real part, result[1] imaginary part.
void hl_zdotu(const int32_t *x, int32_t incx, const int32_t *y, int32_t incy, int32_t n,
              double result[2]);

// Y := Y + alpha op(A) op(B) for double complex blocks, alpha = (re, im);
// a transposed operand is conjugated, as everywhere in the algebra.
void hl_zmul_blocks(const int32_t *A, int32_t Ar, int32_t Ac, const int32_t *B, int32_t Br,
                    int32_t Bc, int32_t ta, int32_t tb, const double alpha[2], int32_t *Y,
                    int32_t ldy);

}  // namespace tessera
