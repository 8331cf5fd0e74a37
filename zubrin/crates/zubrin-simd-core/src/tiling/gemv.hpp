// Operand check of the strided matrix-vector product y += A·x, where row i of A starts at
// a[i·lda] and holds cols elements. The extent arithmetic rejects on overflow, never wraps.
#pragma once

#include <cstdint>
#include <optional>

#include "zubrin_simd_core/error.hpp"

namespace zubrin_simd_core::tiling::gemv {

using error::SimdError;

// success when lda >= cols, a_len >= extent, x_len >= cols and y_len >= rows, where
// extent = (rows − 1)·lda + cols (0 when rows = 0); an overflowing extent is a mismatch.
[[nodiscard]] SimdError check_gemv_dimensions(std::uint64_t a_len, std::uint64_t x_len, std::uint64_t y_len,
                                              std::uint64_t rows, std::uint64_t cols, std::uint64_t lda) noexcept;

// Implementation details

namespace detail {
// Elements a strided rows × cols block spans: 0 for no rows, empty on overflow.
[[nodiscard]] std::optional<std::uint64_t> strided_extent(std::uint64_t rows, std::uint64_t cols,
                                                          std::uint64_t lda) noexcept;
}  // namespace detail

}  // namespace zubrin_simd_core::tiling::gemv
