// The Householder reflector shared by the float64 factorisations (column-pivoted QR,
// bidiagonalisation, Hessenberg reduction): H = I − tau·v·vᵀ with H·x = (beta, 0, …, 0)ᵀ, built on
// a copy of x rescaled by a power of two so that its sums of squares neither overflow nor
// underflow for any finite x, and applied to row-major blocks through the Scalar slice kernels.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kavrel_ops::application::linalg::householder {

struct HouseholderReflector {
    // Same length as x, not normalised (v[0] is not 1), in the units x·2^-e with 2^e the leading
    // power of two of max |x[i]|. Only the direction of v matters: tau·v·vᵀ does not depend on e.
    std::vector<double> v;
    double tau;   // 2 / (vᵀv) of this v
    double beta;  // in the units of x
};

// The reflector of x, or none when no reflection is needed: x empty, or every x[1..] equal to
// zero (−0.0 included, a NaN is not). beta = −sign(x[0])·‖x‖, with sign(±0) = +1.
// Sums are sequential from index 0, each product and sum rounded on its own.
// Requires: x finite (every caller checks its matrix first).
[[nodiscard]] std::optional<HouseholderReflector> reflector(std::span<const double> x);

// H·block for the block of rows first_row … first_row + len(v) − 1 and columns
// [first_col, end_col) of a row-major matrix with `row_stride` elements per row:
// work = tau·(Σ v[i]·row i), then row i += (0 − v[i])·work, both passes through
// Scalar<double>::axpy_slice in increasing i, no v[i] skipped. Nothing happens, and work is not
// touched, when end_col ≤ first_col; otherwise work ends holding tau·vᵀ·block. `work` is the
// caller's scratch, reused across a whole factorisation.
// Requires: the block lies inside `data` (else an internal error).
void apply_left(const HouseholderReflector& reflector, std::span<double> data, std::uint64_t row_stride,
                std::uint64_t first_row, std::uint64_t first_col, std::uint64_t end_col, std::vector<double>& work);

// block·H for the rows [first_row, end_row) and the columns first_col … first_col + len(v) − 1 of
// a row-major matrix, one row at a time: d = dot_slice(segment, v), then segment gets
// axpy_slice(v, segment, 0 − d·tau). This is how an accumulated orthogonal factor Q becomes Q·H.
// Requires: the block lies inside `data` (else an internal error).
void apply_right(const HouseholderReflector& reflector, std::span<double> data, std::uint64_t row_stride,
                 std::uint64_t first_row, std::uint64_t end_row, std::uint64_t first_col);

}  // namespace kavrel_ops::application::linalg::householder
