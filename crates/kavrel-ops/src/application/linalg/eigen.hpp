// All eigenvalues and eigenvectors of a real symmetric float64 matrix by the classical Jacobi
// method: each step annihilates the largest off-diagonal entry that is not yet negligible by one
// plane rotation. The matrix is checked for finiteness and symmetry, symmetrised from its upper
// triangle and rescaled by a power of two first; eigenvalues come back ascending, with the unit
// eigenvectors as the columns of V. Calling thread only; the input view is only read.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::eigen {

using kavrel::application::array::types::Array;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

struct SymmetricEigen {
    std::vector<double> w;  // ascending
    Array<double, 2> v;     // n×n, column j the unit eigenvector of w[j]
};

inline constexpr const char* jacobi_eigenvalue_out_of_range = "Jacobi eigensolver: an eigenvalue exceeds the scalar range";

// ‖x‖_F as m·√(Σ (xᵢ/m)²), m = max|xᵢ| (a NaN never raises it), the sum sequential; 0 when m = 0.
[[nodiscard]] double frobenius_norm(std::span<const double> x);

// The first pair i < j in row order with |A[i][j] − A[j][i]| > (n + 2)·eps·‖A‖_F, or none. Both
// sides are taken in units of 2^ilogb(max|a|), so the test neither overflows for entries near the
// largest float64 nor underflows to a zero threshold for tiny ones. Requires: a finite, n·n.
struct Asymmetry {
    std::uint64_t i;
    std::uint64_t j;
};
[[nodiscard]] std::optional<Asymmetry> first_asymmetry(std::span<const double> a, std::uint64_t n);

// 32·n², saturating at 2^64 − 1 when n ≥ 2^32 or n² ≥ 2^59, and at least 1.
[[nodiscard]] std::uint64_t rotation_budget(std::uint64_t n);

// Rotates the symmetric n×n `a` (row-major, finite) until no off-diagonal entry is unconverged
// against tol = eps·norm, accumulating V := V·J transposed in `vt` (Vᵀ, row-major). After
// `budget` rotations a remaining pivot x fails with ConvergenceError {budget, x/norm, eps}.
[[nodiscard]] Result<void> diagonalise(std::span<double> a, std::span<double> vt, std::uint64_t n, double norm,
                                       std::uint64_t budget);

// The decomposition of a square view. Errors in this order: ShapeMismatch; InvalidInput
// "symmetric eigensolver input has a non-finite entry at (r, c)"; InvalidInput "symmetric
// eigensolver input is not symmetric at (i, j)"; Overflow order_exceeds_range (the gate's window
// is empty); ConvergenceError {32·n², remaining pivot / ‖A‖_F, eps}; Overflow
// jacobi_eigenvalue_out_of_range.
[[nodiscard]] Result<SymmetricEigen> symmetric_eigen_jacobi_with_tolerance(const ArrayView<double, 2>& a);

}  // namespace kavrel_ops::application::linalg::eigen
