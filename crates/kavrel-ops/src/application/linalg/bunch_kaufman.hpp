// The Bunch-Kaufman factors of a symmetric, possibly indefinite float64 matrix:
// Pᵀ·A·P = L·D·Lᵀ with L unit lower triangular and D block diagonal (1×1 and 2×2 blocks).
// The diagonal-pivoting elimination that produces them is bunch_kaufman::decompose; this module
// holds the record and hands its factors out as new arrays.
#pragma once

#include <cstdint>
#include <vector>

#include "kavrel/application/array/types.hpp"

namespace kavrel_ops::application::linalg::bunch_kaufman {

using kavrel::application::array::types::Array;

// A[perm[i], perm[j]] = (L·D·Lᵀ)[i, j] up to rounding.
struct BunchKaufmanDecomposition {
    // n·n row-major: 1.0 on the diagonal, the multipliers below it, 0.0 above; the two columns of
    // a 2×2 block have 0.0 at (k + 1, k).
    std::vector<double> l;
    // n·n row-major: d(k, k) for a 1×1 block; d(k, k), d(k, k + 1) = d(k + 1, k) and
    // d(k + 1, k + 1) for a 2×2 block at k; 0.0 elsewhere.
    std::vector<double> d;
    std::vector<std::uint64_t> perm;  // perm[i]: the row and column of A that ended up at position i
    std::vector<bool> block_2x2;      // true at the first index of every 2×2 block
    std::uint64_t n;
};

// L and D as new (n, n) row-major arrays over copies of the buffers, and a copy of perm.
[[nodiscard]] Array<double, 2> l_factor(const BunchKaufmanDecomposition& f);
[[nodiscard]] Array<double, 2> d_factor(const BunchKaufmanDecomposition& f);
[[nodiscard]] std::vector<std::uint64_t> permutation(const BunchKaufmanDecomposition& f);

}  // namespace kavrel_ops::application::linalg::bunch_kaufman
