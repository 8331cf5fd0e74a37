// Operand check of the strided transposed matrix-vector product y += Aᵀ·x, where row i of A
// starts at a[i·lda] and holds cols elements. Same extent rule as the plain product.
#pragma once

#include <cstdint>

#include "zubrin_simd_core/error.hpp"

namespace zubrin_simd_core::tiling::gemv_transpose {

using error::SimdError;

// success when lda >= cols, a_len >= extent, x_len >= rows and y_len >= cols, where
// extent = (rows − 1)·lda + cols (0 when rows = 0); an overflowing extent is a mismatch.
[[nodiscard]] SimdError check_gemv_t_dimensions(std::uint64_t a_len, std::uint64_t x_len, std::uint64_t y_len,
                                                std::uint64_t rows, std::uint64_t cols, std::uint64_t lda) noexcept;

}  // namespace zubrin_simd_core::tiling::gemv_transpose
