// The steps of the bidiagonal QR iteration that transform the active block: the zero-shift and
// the shifted implicit QR sweeps in either chase direction, the shift itself, and the two chases
// that split off a negligible diagonal entry. Each rotation is applied at once to the rows of Uᵀ
// and Vᵀ it belongs to, when the caller keeps them. Every product and sum is rounded on its own.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "kavrel_ops/application/linalg/svd/bidiagonal_qr/chase.hpp"
#include "kavrel_ops/application/linalg/svd/bidiagonal_qr/rotation.hpp"

namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::sweep {

using chase::Direction;
using chase::OrientedBlock;
using rotation::RotationWindow;

// A row-major buffer whose row i is column i of U (or of V); it must outlive the iteration.
struct FactorRows {
    std::span<double> data;
    std::uint64_t row_len;
};

// Where the rotations go: a rotation that combines rows of B goes to Uᵀ (left), one that combines
// columns to Vᵀ (right), as row p = c·row p + s·row q and row q = c·row q − s·row p. Absent rows
// are skipped; the arithmetic on d and e is the same either way.
struct RotationTargets {
    std::optional<FactorRows> left;
    std::optional<FactorRows> right;
};

// One rotation of rows p and q of a factor, as above; nothing when the factor is not kept.
void rotate_factor(const std::optional<FactorRows>& rows, std::uint64_t p, std::uint64_t q, double c, double s);

// The magnitudes the shift computation works on without rescaling:
// lo = (1 + 2^-52)·sqrt(sqrt(safmin)), hi = (1 − 2^-52)·sqrt(sqrt(DBL_MAX/2)).
struct ShiftWindow {
    double lo;
    double hi;
};
[[nodiscard]] ShiftWindow shift_window() noexcept;

// The first pair (y, z) of a shifted sweep.
struct ShiftStart {
    double y;
    double z;
};

// The eigenvalue mu nearest to the end entry of the 2×2 corner of BᵀB (Down: the bottom corner)
// or B·Bᵀ (Up: the top corner), computed on the six entries involved scaled by one power of two
// when their largest magnitude leaves the window; with w the far-end diagonal entry (d[lo] for
// Down, d[hi] for Up) in the same scale, (y, z) = (w·w − mu, w·e) with e beside w. None when
// w·w·2^-52 > |mu|: the shift is negligible and the sweep takes a zero shift.
// Requires: hi − lo ≥ 2.
template <Direction D>
[[nodiscard]] std::optional<ShiftStart> shifted_start(const OrientedBlock& block, const ShiftWindow& window);

// One implicit QR sweep with a zero shift, which keeps the relative accuracy of tiny entries.
template <Direction D>
void zero_shift_sweep(OrientedBlock& block, const RotationWindow& window, const RotationTargets& rows);

// One implicit QR sweep whose first rotation comes from (y, z); that rotation's r is dropped.
template <Direction D>
void shifted_sweep(OrientedBlock& block, ShiftStart start, const RotationWindow& window,
                   const RotationTargets& rows);

// d[idx] is negligible (lo ≤ idx < hi): sets it to zero and clears row idx of the block by
// rotations from the left, so idx becomes an isolated zero singular value. Left rows only.
void chase_zero_at_top(OrientedBlock& block, std::uint64_t idx, const RotationWindow& window,
                       const RotationTargets& rows);

// d[hi] is negligible: sets it to zero and clears column hi by rotations from the right. Right
// rows only.
void chase_zero_at_bottom(OrientedBlock& block, const RotationWindow& window, const RotationTargets& rows);

}  // namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::sweep
