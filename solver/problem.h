// The symmetric problems the solver takes in, as the readers and generators
// hand them over. Two shapes:
//
//  - SparseSym: the lower triangle (row >= column, diagonal included) in
//    compressed columns, 0-based, rows strictly ascending inside each column,
//    duplicates already summed. Sparse Matrix Market files and the generated
//    finite-difference, finite-element and band problems arrive this way.
//  - DenseSource: a dense symmetric matrix that is never held whole in memory;
//    the solver asks it for rectangular regions, one panel at a time. The
//    generated kernel matrices arrive this way (their entries are a formula).
//    Dense Matrix Market files are streamed in file order instead
//    (matrix_market.h) and kept in a file set by the solver as they arrive.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// The C++ interface of libtessera_solve is exported by name: the library is
// built with hidden visibility, and the tool and the tests link it as hosts do.
#if defined(__GNUC__)
#define TESSERA_SOLVE_API __attribute__((visibility("default")))
#else
#define TESSERA_SOLVE_API
#endif

namespace tessera::solve {

struct SparseSym {
  int32_t n = 0;
  std::vector<int64_t> colptr;  // n + 1 entries; column j holds colptr[j] .. colptr[j+1]-1
  std::vector<int32_t> rowind;  // 0-based rows, ascending, each >= its column
  std::vector<double> values;

  int64_t entries() const { return colptr.empty() ? 0 : colptr.back(); }
};

class TESSERA_SOLVE_API DenseSource {
 public:
  virtual ~DenseSource() = default;
  virtual int32_t n() const = 0;
  // Writes A(i0 .. i0+nr-1, j0 .. j0+nc-1) (0-based) column-major into a with
  // leading dimension lda. Any region of the full symmetric matrix may be
  // asked for, on either side of the diagonal.
  virtual void fill(int32_t i0, int32_t nr, int32_t j0, int32_t nc, double *a,
                    int64_t lda) const = 0;
};

// A problem as the command line names it, with what is known about it.
struct Problem {
  std::string name;                    // "laplace3d:50", or the file name
  SparseSym sparse;                    // when dense is null
  std::unique_ptr<DenseSource> dense;  // a dense problem
  int32_t n() const { return dense ? dense->n() : sparse.n; }
};

// Bad input that the user can mend: the message names the file, the line and
// what was expected (or the generator and what is wrong with its arguments).
class TESSERA_SOLVE_API InputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tessera::solve
