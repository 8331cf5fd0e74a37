// The complete-pivoting LU factors of a square float64 matrix, and L and U built from them.
// The elimination that produces them is full_piv_lu::decompose; it may stop early, leaving a
// trailing remainder whose entries are all at most 1e-12·max|A| in magnitude.
#pragma once

#include <cstdint>
#include <vector>

#include "kavrel/application/array/types.hpp"

namespace kavrel_ops::application::linalg::full_piv_lu {

using kavrel::application::array::types::Array;

// With W the working matrix below, A[row_perm[i], col_perm[j]] = (L·U)[i, j] up to rounding when
// rank = n; after an early stop at step r only the first r columns of L and rows of U are
// factors, and the untouched trailing (n − r) × (n − r) block is the remainder.
struct FullPivLuDecomposition {
    std::vector<double> lu;  // W, n·n row-major: multipliers below the diagonal, U on and above it
    std::vector<std::uint64_t> row_perm;  // row_perm[i]: the row of A that ended up as row i
    std::vector<std::uint64_t> col_perm;  // col_perm[j]: the column of A that ended up as column j
    std::uint64_t rank;                   // pivots taken: n, or the step of the early stop
    std::uint64_t n;
    std::int8_t sign;  // +1 or −1: parity of all row and column interchanges together
};

// L: 1.0 on the diagonal, the multipliers W(i, j) below it in the first rank columns, 0.0
// everywhere else. After an early stop the trailing block is the identity: the remainder's
// strictly lower entries are not multipliers, and as such they would be scaled by A's magnitude.
// L·U then misses only them, each at most the stop threshold.
[[nodiscard]] Array<double, 2> lower_factor(const FullPivLuDecomposition& f);
// U: W on and above the diagonal (the remainder's upper part after an early stop), 0.0 below.
[[nodiscard]] Array<double, 2> upper_factor(const FullPivLuDecomposition& f);

}  // namespace kavrel_ops::application::linalg::full_piv_lu
