// Generated problems: symmetric positive definite systems a user can solve
// without data of their own, named by a short text ("laplace3d:50").
//
//   laplace2d:K            5-point finite differences on a K x K grid
//   laplace3d:K            7-point finite differences on a K x K x K grid
//   elasticity3d:K[:hex]   linear elasticity on a K x K x K brick of trilinear
//   elasticity3d:K:tet     hexahedra, or of linear tetrahedra (6 per cube)
//   dense-spd:N            a dense kernel matrix over N points on a sphere
//   band:N:W               a band matrix of half-bandwidth W
//
// The sparse problems are built straight into compressed columns, two passes
// over the grid (count, then fill), so memory is the matrix itself. Unknowns
// are numbered naturally: x fastest, then y, then z (and for elasticity the
// three displacements of a node together). The dense problem is a formula: its
// DenseSource computes any region on demand and holds nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "problem.h"

namespace tessera::solve {

// Material of the elasticity problems: Young's modulus and Poisson's ratio.
inline constexpr double kYoungModulus = 1.0;
inline constexpr double kPoissonRatio = 0.3;

// The dense kernel: a(i, j) = exp(-|p_i - p_j| / kKernelLength), plus
// kKernelShift on the diagonal, over N points spread evenly on the unit sphere
// (a golden-angle spiral), as a boundary-element system on a closed surface.
inline constexpr double kKernelLength = 0.5;
inline constexpr double kKernelShift = 0.01;

enum class ElementKind { hex, tet };

// Grid Laplacians with Dirichlet boundaries, unscaled: 4 (6) on the diagonal,
// -1 for each grid neighbour. Eigenvalues 4 sin^2(pi i / 2(K+1)) summed over
// the dimensions, i = 1 .. K in each.
TESSERA_SOLVE_API SparseSym laplace2d(int32_t k);
TESSERA_SOLVE_API SparseSym laplace3d(int32_t k);

// Stiffness matrix of the unit cube cut into K^3 cubes. With clamped, the
// nodes of the face x = 0 are fixed and left out (3 K (K+1)^2 unknowns);
// without, the matrix has the six rigid-body motions as its null space
// (3 (K+1)^3 unknowns). Couplings are those of the mesh (every pair of nodes
// sharing an element), kept even where their values happen to sum to zero.
TESSERA_SOLVE_API SparseSym elasticity3d(int32_t k, ElementKind kind = ElementKind::hex,
                                         bool clamped = true);

// Off-diagonal values in [-1, 1], pseudo-random but fixed by (i, j); each
// diagonal entry exceeds the sum of its row's off-diagonal magnitudes by 0.05
// to 0.15, so the matrix is positive definite with a condition number that
// grows with W.
TESSERA_SOLVE_API SparseSym band(int32_t n, int32_t w);

TESSERA_SOLVE_API std::unique_ptr<DenseSource> dense_spd(int32_t n);

// What make_problem accepts, for help texts: syntax and one line each.
struct ProblemKind {
  const char *syntax;
  const char *summary;
};
TESSERA_SOLVE_API const std::vector<ProblemKind> &problem_kinds();

// Parses a problem's name ("laplace2d:1000", "elasticity3d:30:tet", "band:100000:50")
// and generates the problem. Throws InputError naming the problem and what is
// wrong: an unknown kind, a missing, extra or non-numeric argument, a size out
// of range, or a matrix larger than this machine's memory.
TESSERA_SOLVE_API Problem make_problem(const std::string &problem_name);

}  // namespace tessera::solve
