// Householder QR of a float64 matrix with at least as many rows as columns, A = Q·R with Q m×m
// orthogonal and R m×n upper trapezoidal. Columns are reduced in panels of
// tuning::qr_panel_columns (one panel below tuning::qr_blocked_from_columns columns); the columns
// right of a panel are updated at once in compact-WY form through three Scalar::tiled_gemm
// products. The reflectors are kept in the working copy so that Q can be formed later, apart from
// the factorisation (the Python function forms it with the interpreter lock held).
#pragma once

#include <cstdint>
#include <vector>

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::qr::decompose {

using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

// The factored matrix. Reflector j is H_j = I − tau[j]·v·vᵀ with v zero in rows 0 … j−1, v[j] =
// head[j] and v[i] = a[i][j] below the diagonal; R is a on and above the diagonal of rows 0 … n−1.
struct QrFactors {
    std::vector<double> a;  // m×n, row-major
    std::vector<double> head;
    std::vector<double> tau;
    std::uint64_t rows;
    std::uint64_t cols;
};

// The factorisation of an m×n view with m ≥ n. Each column's reflector is built on the column
// scaled by the power of two of its largest remaining entry, and a matrix whose products could
// overflow (outside scaling::gate::balanced_below_overflow's window) is factored as A·2^-k and R
// scaled back, so neither squares nor products overflow or vanish on their way. R[j][j] is negative when the remaining column's leading entry is
// positive, positive otherwise.
// Errors, in this order: ShapeMismatch [m, n] / [n, n] when m < n; the gate's Overflow guards;
// StorageError "QR input contains a non-finite value"; StorageError "QR pivot column {j} has
// zero norm: matrix is rank-deficient" for a remaining column that is exactly zero; Overflow
// "R entry exceeds the scalar range" when R scaled back is not finite.
[[nodiscard]] Result<QrFactors> factor(const ArrayView<double, 2>& view);

// Q = H_0·H_1·…·H_{n−1}, m×m row-major.
[[nodiscard]] std::vector<double> form_q(const QrFactors& factors);
// R, m×n row-major: rows 0 … n−1 on and above the diagonal, zero elsewhere.
[[nodiscard]] std::vector<double> extract_r(const QrFactors& factors);

}  // namespace kavrel_ops::application::linalg::qr::decompose
