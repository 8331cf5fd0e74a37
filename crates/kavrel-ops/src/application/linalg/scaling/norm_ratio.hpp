// Overflow-free bounds on log2(‖x‖₂ / scale) for a float64 slice, taken before a solver runs to
// choose its power-of-two prescaling. The sum of squares is kept as a mantissa and a binary
// exponent, summed pairwise, so neither overflow nor underflow can occur and its rounding error
// grows only with log2 of the length.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace kavrel_ops::application::linalg::scaling::norm_ratio {

// Σ (x[i]/scale)² = mantissa·2^exponent.
struct PairwiseSquares {
    std::int32_t exponent;
    double mantissa;
};

// Halves split at len/2, each summed recursively; a leaf of one entry is (0, t·t) with
// t = x[i]/scale, and a mantissa of 2 or more after adding two halves is halved once.
[[nodiscard]] PairwiseSquares pairwise_squares(std::span<const double> x, double scale) noexcept;

// Σ (x[i]/scale)² = mantissa·2^exponent, with a relative error of the computed mantissa of at
// most `bound`.
struct RatioSum {
    double mantissa;
    double bound;
    std::int32_t exponent;

    // Absent when the bound would reach 1/2 (no realistic length) or the pairwise mantissa is not
    // positive and finite (all zeros, or a non-finite entry).
    [[nodiscard]] static std::optional<RatioSum> of(std::span<const double> x, double scale) noexcept;
};

// An upper bound of log2(‖x‖₂ / scale), rounded up, never above ceil(ceil_log2(len x)/2).
[[nodiscard]] std::int32_t norm_ratio_log2(std::span<const double> x, double scale) noexcept;

// The cap of norm_ratio_log2: (ceil_log2(max(count, 1)) + 1) div 2.
[[nodiscard]] std::int32_t half_ceil_log2(std::uint64_t count) noexcept;

}  // namespace kavrel_ops::application::linalg::scaling::norm_ratio
