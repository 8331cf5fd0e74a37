// The 3×3 (or, at the bottom of a window, 2×2) reflectors that chase the bulge of a Francis
// double-shift sweep down the Hessenberg matrix, and their application from the left to a few
// rows of a row-major matrix. The reflector's vector is rescaled by a power of two when its
// largest entry leaves the window [small, big], so its norm never overflows or underflows.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace kavrel_ops::application::linalg::schur::francis::bulge {

// I − tau·u·uᵀ with u = (1, u₂, u₃) (u₃ = 0 when nr = 2) maps v onto (beta, 0, 0).
struct BulgeReflector {
    std::array<double, 3> u;
    std::uint32_t nr;  // 2 or 3
    double tau;
    double beta;
};

// The rescaling window of the bulge vector: small = √safmin·eps + √safmin,
// big = b − b·eps with b = √(DBL_MAX·0.25).
struct BulgeWindow {
    double small;
    double big;
};
[[nodiscard]] BulgeWindow bulge_window();

// None when v₂ = 0 and (nr = 2 or v₃ = 0): nothing to annihilate. Only v₁, v₂ count when nr = 2.
[[nodiscard]] std::optional<BulgeReflector> stack_reflector(const std::array<double, 3>& v, std::uint32_t nr,
                                                            const BulgeWindow& window);

// Applies the reflection from the left to rows a … a+nr−1, columns b … c (inclusive), of a
// row-major matrix with `row_stride` elements per row: column by column while c − b is at most
// tuning::francis_column_loop_span, through the axpy slice kernel into `scratch` (at least
// c − b + 1 entries) for wider rows.
// Requires: b ≤ c and the block inside t.
void apply_left(std::span<double> t, const BulgeReflector& r, std::uint64_t a, std::uint64_t row_stride,
                std::uint64_t b, std::uint64_t c, std::span<double> scratch);

// Q := Q·(I − tau·u·uᵀ) on Q's columns k … k+nr−1, Q n×n held as Qᵀ (row-major): for every row
// of Q, s = ((0 + u₁·x₁) + u₂·x₂) [+ u₃·x₃], s = s·tau, x_i = x_i − u_i·s, each product and sum
// rounded on its own. Requires: rows k … k+nr−1 inside qt.
void apply_right_transposed(std::span<double> qt, std::uint64_t n, const BulgeReflector& r, std::uint64_t k);

}  // namespace kavrel_ops::application::linalg::schur::francis::bulge
