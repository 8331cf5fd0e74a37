// The partial-pivoting LU factors of a square float64 matrix and the solve with them. The
// factorisation itself is lu::decompose, the column step it repeats lu::eliminate, and the
// inverse built on both lu::solvers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kavrel/application/array/types.hpp"

namespace kavrel_ops::application::linalg::lu {

using kavrel::application::array::types::Array;

// Row i of diag(2^row_exponent)·L·U·diag(2^column_exponent) is row perm[i] of A, up to rounding
// (row_exponent in A's row order, so its entry perm[i] scales row i of L·U).
struct LuDecomposition {
    // (n, n), row-major, offset 0: the multipliers of the unit lower L strictly below the
    // diagonal (its unit diagonal is not stored), U on and above it. U's diagonal holds no
    // exact zero.
    Array<double, 2> lu;
    std::vector<std::uint64_t> perm;  // n row indices of A
    std::int8_t sign;                 // +1 or −1: parity of the row interchanges
    // Both empty, or one of them holds the scales of an exactly scaled A where the elimination of
    // A itself formed an infinite or NaN value: lu holds the factors of A with column j
    // multiplied by 2^-column_exponent[j] (partial pivoting compares within a column, so the
    // permutation and the multipliers are then A's own and column j of U is A's times
    // 2^-column_exponent[j]), or, where some column could not be scaled so exactly, of A with row
    // i multiplied by 2^-row_exponent[i].
    std::vector<std::int32_t> row_exponent;
    std::vector<std::int32_t> column_exponent;

    // Overwrites b with x such that L·U·x = b, at the factors' scale (for A's solution see
    // lu::solvers). The caller permutes the right-hand side first (b[i] = rhs[perm[i]]); no zero
    // test is made. The substitutions are dot_slice inner products over row segments, each result
    // subtracted and (for U) divided by the diagonal entry. Requires: b.size() == perm.size().
    void solve_in_place(std::span<double> b) const;

    // solve_in_place on `count` right-hand sides stored one after another in b (n entries each),
    // each with exactly solve_in_place's arithmetic. The substitutions go row by row across them
    // so that their independent inner products overlap instead of waiting on one another.
    // Requires: b.size() == count · perm.size().
    void solve_columns_in_place(std::span<double> b, std::size_t count) const;
};

}  // namespace kavrel_ops::application::linalg::lu
