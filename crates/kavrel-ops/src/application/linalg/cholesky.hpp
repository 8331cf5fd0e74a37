// The Cholesky factor L (A = L·Lᵀ, positive diagonal) of a symmetric positive-definite float64
// matrix, computed row by row from inner products, and the solve with it. Only the lower
// triangle of A is read; the upper one is only scanned for non-finite entries, and symmetry is
// not tested. The view is only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::cholesky {

using kavrel::application::array::types::Array;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

struct CholeskyDecomposition {
    Array<double, 2> l;  // (n, n), row-major, offset 0: L on and below the diagonal, 0.0 above
    std::uint64_t n;

    // Overwrites b with x such that L·Lᵀ·x = b: a forward substitution of dot_slice inner products, then a
    // backward one down the columns of L in plain rounded steps. No zero test (L's diagonal is
    // positive). Requires: b.size() == n.
    void solve_in_place(std::span<double> b) const;

    // solve_in_place on `count` right-hand sides stored one after another in b (n entries each),
    // each with exactly solve_in_place's arithmetic, row by row across them so that their
    // independent steps overlap. Requires: b.size() == count · n.
    void solve_columns_in_place(std::span<double> b, std::size_t count) const;
};

// Fails, in this order: ShapeMismatch {lhs [rows, cols], rhs [rows, rows]} when rows ≠ cols,
// before any element is read; StorageError "Cholesky input contains a non-finite value" for the
// first infinite or NaN entry of either triangle; StorageError "Cholesky pivot {i} is
// non-positive: matrix is not positive-definite" at the first row whose diagonal reduction is
// not positive, NaN included.
[[nodiscard]] Result<CholeskyDecomposition> cholesky_decompose(const ArrayView<double, 2>& a);

// x with L·Lᵀ·x = b: b copied in order into x, then solved by working::solve_in_range, so that a
// system whose intermediates overflow is solved again in an unbounded exponent: x is ±inf only
// where the solution itself leaves the range. Fails, in this order, with the errors of
// cholesky_decompose, then ShapeMismatch lhs [len(b)], rhs [n] when b's length is not A's order.
// Both views are only read.
[[nodiscard]] Result<Array<double, 1>> cholesky_solution(const ArrayView<double, 2>& a, const ArrayView<double, 1>& b);

// A⁻¹ as a new (n, n) row-major array: column j solves L·Lᵀ·x = e_j as cholesky_solution does,
// and the result is not symmetrised. Fails with the errors of cholesky_decompose.
[[nodiscard]] Result<Array<double, 2>> cholesky_inverse(const ArrayView<double, 2>& a);

}  // namespace kavrel_ops::application::linalg::cholesky
