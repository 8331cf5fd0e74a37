#include "zubrin_simd_core/tiling/gemv_transpose.hpp"

#include "zubrin_simd_core/tiling/gemv.hpp"

namespace zubrin_simd_core::tiling::gemv_transpose {

SimdError check_gemv_t_dimensions(std::uint64_t a_len, std::uint64_t x_len, std::uint64_t y_len, std::uint64_t rows,
                                  std::uint64_t cols, std::uint64_t lda) noexcept {
    const auto extent = gemv::detail::strided_extent(rows, cols, lda);
    if (!extent) return SimdError::mismatch;
    const bool fits = lda >= cols && a_len >= *extent && x_len >= rows && y_len >= cols;
    return fits ? SimdError::success : SimdError::mismatch;
}

}  // namespace zubrin_simd_core::tiling::gemv_transpose
