// Householder QR with column pivoting of a float64 matrix of any shape, A·P = Q·R: at each step the
// column with the largest remaining norm moves to the front, and the reduction stops once that norm
// falls to 1e-12 of the largest initial column norm, so the number of steps reveals the rank.
// Runs on the calling thread; the input view is only read.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::col_piv_qr::decompose {

using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

struct ColPivQrDecomposition {
    std::vector<double> q;            // m×m, row-major, orthogonal
    std::vector<double> r;            // m×n, row-major, zero below the diagonal
    std::vector<std::uint64_t> perm;  // perm[j]: the input column that ends in position j
    std::uint64_t rank;               // reduction steps taken before the stop
    std::uint64_t rows;
    std::uint64_t cols;
};

// Σ a[i][j]² over all rows of each column of a row-major m×n buffer, rows added in increasing i.
[[nodiscard]] std::vector<double> column_norms(std::span<const double> a, std::uint64_t rows, std::uint64_t cols);

// The factorisation of any m×n view: the columns taken in perm order equal Q·R up to rounding. After
// a stop at step r, Q holds the reflections of steps 0 … r−1 and rows r … m−1 of R the unreduced
// entries on and above the diagonal. Squared norms are not scaled: callers keep the magnitudes
// inside the QR window of the scaling gate (balanced_by_rows).
// Errors: StorageError "ColPivQR input contains a non-finite value".
[[nodiscard]] Result<ColPivQrDecomposition> factor(const ArrayView<double, 2>& view);

// factor of any m×n view brought into the QR window of the scaling gate (balanced_by_rows) first,
// R scaled back by 2^k; Q and perm are those of the scaled copy, which are the input's own.
// Errors, in this order: the gate's Overflow guards; factor's StorageError; Overflow
// scaling::gate::r_entry_out_of_range when R scaled back is not finite.
[[nodiscard]] Result<ColPivQrDecomposition> factor_balanced(const ArrayView<double, 2>& view);

}  // namespace kavrel_ops::application::linalg::col_piv_qr::decompose
