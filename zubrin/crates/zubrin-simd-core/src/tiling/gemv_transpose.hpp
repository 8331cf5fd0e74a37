// The strided transposed matrix-vector product y += Aᵀ·x, where row i of A starts at a[i·lda]
// and holds cols elements: its operand check (the extent rule of the plain product) and the
// portable product run where the CPU has neither AVX-512F nor AVX2 with FMA.
#pragma once

#include <cstdint>
#include <span>

#include "zubrin_simd_core/error.hpp"

namespace zubrin_simd_core::tiling::gemv_transpose {

using error::SimdError;

// success when lda >= cols, a_len >= extent, x_len >= rows and y_len >= cols, where
// extent = (rows − 1)·lda + cols (0 when rows = 0); an overflowing extent is a mismatch.
[[nodiscard]] SimdError check_gemv_t_dimensions(std::uint64_t a_len, std::uint64_t x_len, std::uint64_t y_len,
                                                std::uint64_t rows, std::uint64_t cols, std::uint64_t lda) noexcept;

// y[j] = fma(A(i, j), x[i], y[j]) for i = 0 .. rows − 1 in order, for every j < cols: one rounding
// per row and element, the same steps as the SIMD kernels, so the bits agree on every path.
// Runs check_gemv_t_dimensions first and returns its verdict; a failed check writes nothing.
// Requires: y does not overlap a or x.
[[nodiscard]] SimdError gemv_t_portable(std::span<const double> a, std::span<const double> x, std::span<double> y,
                                        std::uint64_t rows, std::uint64_t cols, std::uint64_t lda) noexcept;

}  // namespace zubrin_simd_core::tiling::gemv_transpose
