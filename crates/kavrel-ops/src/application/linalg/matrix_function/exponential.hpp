// The matrix exponential e^A of a square float64 view by scaling and squaring with the diagonal
// [6/6] Padé approximant: A is scaled by 2^-s so that its largest absolute row sum is at most 0.5,
// the approximant is formed from the even and odd parts of the Padé numerator, and squared s times.
// The view is only read.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::matrix_function::exponential {

using kavrel::application::array::types::Array;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

// e^A as a new (n, n) row-major array. Fails, in this order:
// - ShapeMismatch {lhs [rows, cols], rhs [rows, rows]} when rows ≠ cols, before any element is read;
// - StorageError "matrix exponential requires finite entries" for the first infinite or NaN entry;
// - StorageError "matrix exponential scaling exponent overflow" when the largest absolute row sum
//   exceeds 2^1022 (more than 1023 halvings) or overflows;
// - the error of lu::solvers::inv on V − U ("LU input contains a non-finite value", "LU pivot
//   column {} is exactly zero: matrix is singular", "LU factor exceeds the scalar range"),
//   unchanged.
// The result itself is not tested: squarings that overflow leave infinities or NaN.
// The products (five, then one per halving) go through the matrix-product engine and may run on
// the executor's workers; everything else runs on the calling thread.
[[nodiscard]] Result<Array<double, 2>> matrix_exponential(const ArrayView<double, 2>& a);

// Implementation details

namespace detail {

// The largest number of halvings: 2^-1023 is still exact (subnormal).
inline constexpr int max_halvings = 1023;

// The square test (nothing read yet), then the entries in row-major order (the view's own run when
// it is row-major and inside its storage, else `copy`, filled here) after the scan that fails with
// StorageError "matrix exponential requires finite entries" at the first infinite or NaN entry.
[[nodiscard]] Result<std::span<const double>> finite_entries(const ArrayView<double, 2>& a, std::vector<double>& copy);

// The largest absolute row sum of the n×n row-major matrix m, each row summed from the left
// starting at 0.0; the first of equal maxima counts, an overflowing row is +infinity.
[[nodiscard]] double infinity_norm(std::span<const double> m, std::uint64_t n);

// The number s of halvings t ← t·0.5 that take the norm to at most 0.5; StorageError "matrix
// exponential scaling exponent overflow" when 1023 are not enough (an infinite norm included).
[[nodiscard]] Result<int> scaling_exponent(double norm);

// c0 .. c6 of the [6/6] Padé approximant: c0 = 1, c_k = (c_(k−1)·((6 − k) + 1)) / (k·((12 − k) + 1)),
// each product, sum and quotient rounded as written.
[[nodiscard]] std::array<double, 7> pade_coefficients();

// The n×n identity, row-major.
[[nodiscard]] Array<double, 2> identity(std::uint64_t n);

}  // namespace detail

}  // namespace kavrel_ops::application::linalg::matrix_function::exponential
