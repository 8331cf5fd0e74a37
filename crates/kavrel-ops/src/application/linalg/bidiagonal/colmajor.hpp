// The reflector generator of the values-only bidiagonalisation, which works on a column-major
// copy: the vector's first entry is an implicit 1 and the rest is written over the input, and a
// segment whose largest magnitude leaves the scaling window is rescaled by a power of two so that
// its sum of squares neither overflows nor underflows.
#pragma once

#include <cstdint>
#include <span>

namespace kavrel_ops::application::linalg::bidiagonal::colmajor {

// The magnitudes larfg squares without rescaling, for a matrix of m rows:
// lo = (1 + 2^-52)·sqrt(safmin), hi = (1 − 2^-52)·sqrt(DBL_MAX·2^-c) with c = ceil_log2(max(m, 1)).
struct LarfgWindow {
    double lo;
    double hi;
};
[[nodiscard]] LarfgWindow larfg_window(std::uint64_t rows) noexcept;

struct Larfg {
    double tau;
    double beta;
};

// The reflection I − tau·v·vᵀ with v = (1, x[1], …) that maps x onto (beta, 0, …, 0). On return
// x[0] holds beta and x[1 …] the tail of v. Length 0 gives (0, 0) and length 1 (0, x[0]), x
// untouched; so does a tail whose scaled sum of squares is exactly zero: tau = 0 is the identity.
// beta = +‖x‖ when x[0] ≤ 0 (either zero), −‖x‖ otherwise.
// Every product and sum is rounded on its own; the power-of-two scaling is exact.
// Requires: x finite.
[[nodiscard]] Larfg larfg(std::span<double> x, const LarfgWindow& window) noexcept;

}  // namespace kavrel_ops::application::linalg::bidiagonal::colmajor
