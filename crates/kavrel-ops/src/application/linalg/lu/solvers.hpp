// The solution of a linear system, the inverse and the determinant of a square float64 matrix
// from its partial-pivoting LU factors. No conditioning test: a nearly singular matrix gives
// large entries, not an error.
#pragma once

#include <cstdint>
#include <span>

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::lu::solvers {

using kavrel::application::array::types::Array;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

// x with A·x = b: x[i] = b[perm[i]], then solved with the factors by working::solve_in_range, so
// that neither b nor x is rounded by a power of two and a system whose intermediates overflow is
// solved again in an unbounded exponent: x is ±inf only where the solution itself leaves the
// range. Fails, in this order, with the error of lu_decompose unchanged, then ShapeMismatch lhs
// [len(b)], rhs [n] when b's length is not A's order. Both views are only read.
[[nodiscard]] Result<Array<double, 1>> lu_solve(const ArrayView<double, 2>& a, const ArrayView<double, 1>& b);

// A⁻¹ as a new (n, n) row-major array: column j solves A·x = e_j as lu_solve does. Fails with the
// error of lu_decompose unchanged (shape mismatch, non-finite entry, exactly zero pivot column, a
// factor beyond the range). The view is only read.
[[nodiscard]] Result<Array<double, 2>> inv(const ArrayView<double, 2>& a);

// det A: ±1 times U's diagonal in order, each product rounded in turn, the running product kept
// as a significand and a binary exponent and scaled once at the end (by the decomposition's
// column scales too). Where the plain running product stays in the normal range that is its
// value bit for bit; it is ±inf or ±0 only where the determinant itself leaves the range. An
// exactly zero pivot column gives 0.0. Fails with the other errors of lu_decompose (shape
// mismatch, non-finite entry, a factor beyond the range). The view is only read.
[[nodiscard]] Result<double> determinant(const ArrayView<double, 2>& a);

// Implementation details

namespace detail {

// sign·d[0]·d[1]·…·2^exponent with one rounding per product (and one for the power of two), as
// determinant forms it. `stride` steps from one factor to the next in `d`. Requires: sign ±1.
[[nodiscard]] double scaled_product(double sign, std::span<const double> d, std::uint64_t count,
                                    std::uint64_t stride, long exponent = 0) noexcept;

}  // namespace detail

}  // namespace kavrel_ops::application::linalg::lu::solvers
