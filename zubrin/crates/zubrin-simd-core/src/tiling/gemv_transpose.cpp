#include "zubrin_simd_core/tiling/gemv_transpose.hpp"

#include <cmath>
#include <cstddef>

#include "zubrin_simd_core/tiling/gemv.hpp"

namespace zubrin_simd_core::tiling::gemv_transpose {

SimdError check_gemv_t_dimensions(std::uint64_t a_len, std::uint64_t x_len, std::uint64_t y_len, std::uint64_t rows,
                                  std::uint64_t cols, std::uint64_t lda) noexcept {
    const auto extent = gemv::detail::strided_extent(rows, cols, lda);
    if (!extent) return SimdError::mismatch;
    const bool fits = lda >= cols && a_len >= *extent && x_len >= rows && y_len >= cols;
    return fits ? SimdError::success : SimdError::mismatch;
}

SimdError gemv_t_portable(std::span<const double> a, std::span<const double> x, std::span<double> y,
                          std::uint64_t rows, std::uint64_t cols, std::uint64_t lda) noexcept {
    const SimdError status = check_gemv_t_dimensions(a.size(), x.size(), y.size(), rows, cols, lda);
    if (status != SimdError::success) return status;
    // Row after row, so A streams at its own stride and each y[j] sees the rows in order.
    for (std::size_t i = 0; i < rows; ++i) {
        const double* row = a.data() + i * lda;
        for (std::size_t j = 0; j < cols; ++j) y[j] = std::fma(row[j], x[i], y[j]);
    }
    return SimdError::success;
}

}  // namespace zubrin_simd_core::tiling::gemv_transpose
