#include "zubrin_simd_core/tiling/gemv.hpp"

namespace zubrin_simd_core::tiling::gemv {

namespace detail {
std::optional<std::uint64_t> strided_extent(std::uint64_t rows, std::uint64_t cols, std::uint64_t lda) noexcept {
    if (rows == 0) return 0;
    std::uint64_t leading = 0;
    std::uint64_t extent = 0;
    if (__builtin_mul_overflow(rows - 1, lda, &leading)) return std::nullopt;
    if (__builtin_add_overflow(leading, cols, &extent)) return std::nullopt;
    return extent;
}
}  // namespace detail

SimdError check_gemv_dimensions(std::uint64_t a_len, std::uint64_t x_len, std::uint64_t y_len, std::uint64_t rows,
                                std::uint64_t cols, std::uint64_t lda) noexcept {
    const auto extent = detail::strided_extent(rows, cols, lda);
    if (!extent) return SimdError::mismatch;
    const bool fits = lda >= cols && a_len >= *extent && x_len >= cols && y_len >= rows;
    return fits ? SimdError::success : SimdError::mismatch;
}

}  // namespace zubrin_simd_core::tiling::gemv
