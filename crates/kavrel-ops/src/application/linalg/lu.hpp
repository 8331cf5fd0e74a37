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

// Row i of L·U·2^exponent is row perm[i] of A, up to rounding.
struct LuDecomposition {
    // (n, n), row-major, offset 0: the multipliers of the unit lower L strictly below the
    // diagonal (its unit diagonal is not stored), U on and above it. U's diagonal holds no
    // exact zero.
    Array<double, 2> lu;
    std::vector<std::uint64_t> perm;  // n row indices of A
    std::int8_t sign;                 // +1 or −1: parity of the row interchanges
    // 0, or the k of A·2^-k where the elimination of A itself formed an infinite or NaN value:
    // then lu holds the factors of A·2^-k (the multipliers are A's, U is A's U times 2^-k).
    std::int32_t exponent = 0;

    // Overwrites b with x such that L·U·2^exponent·x = b, the system of A's permuted rows. The
    // caller permutes the right-hand side first (b[i] = rhs[perm[i]]); no zero test is made. The
    // substitutions are dot_slice inner products over row segments, each result subtracted and
    // (for U) divided by the diagonal entry. With an exponent, they solve L·U·x = b·2^-exponent.
    // Requires: b.size() == perm.size().
    void solve_in_place(std::span<double> b) const;

    // solve_in_place on `count` right-hand sides stored one after another in b (n entries each),
    // each with exactly solve_in_place's arithmetic. The substitutions go row by row across them
    // so that their independent inner products overlap instead of waiting on one another.
    // Requires: b.size() == count · perm.size().
    void solve_columns_in_place(std::span<double> b, std::size_t count) const;
};

}  // namespace kavrel_ops::application::linalg::lu
