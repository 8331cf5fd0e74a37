// The strided matrix-vector product y += A·x, where row i of A starts at a[i·lda] and holds cols
// elements: its operand check (the extent arithmetic rejects on overflow, never wraps) and the
// portable product run where the CPU has neither AVX-512F nor AVX2 with FMA.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "zubrin_simd_core/error.hpp"

namespace zubrin_simd_core::tiling::gemv {

using error::SimdError;

// success when lda >= cols, a_len >= extent, x_len >= cols and y_len >= rows, where
// extent = (rows − 1)·lda + cols (0 when rows = 0); an overflowing extent is a mismatch.
[[nodiscard]] SimdError check_gemv_dimensions(std::uint64_t a_len, std::uint64_t x_len, std::uint64_t y_len,
                                              std::uint64_t rows, std::uint64_t cols, std::uint64_t lda) noexcept;

// y[i] = (E + O) + y[i] for i < rows, where E and O are fused multiply-add chains (fma, one
// rounding each) from +0 over the even and the odd columns of row i in increasing order. The
// SIMD kernels accumulate in their own lanes, so their results may differ in the last bits.
// Runs check_gemv_dimensions first and returns its verdict; a failed check writes nothing.
// Requires: y does not overlap a or x.
[[nodiscard]] SimdError gemv_portable(std::span<const double> a, std::span<const double> x, std::span<double> y,
                                      std::uint64_t rows, std::uint64_t cols, std::uint64_t lda) noexcept;

// Implementation details

namespace detail {
// Elements a strided rows × cols block spans: 0 for no rows, empty on overflow.
[[nodiscard]] std::optional<std::uint64_t> strided_extent(std::uint64_t rows, std::uint64_t cols,
                                                          std::uint64_t lda) noexcept;
}  // namespace detail

}  // namespace zubrin_simd_core::tiling::gemv
