#include "zubrin_simd_core/tiling/gemv.hpp"

#include <cmath>
#include <cstddef>

#include "kavrel/domain/checked/arithmetic.hpp"

namespace zubrin_simd_core::tiling::gemv {

namespace detail {
std::optional<std::uint64_t> strided_extent(std::uint64_t rows, std::uint64_t cols, std::uint64_t lda) noexcept {
    if (rows == 0) return 0;
    return kavrel::domain::checked::mul_add(rows - 1, lda, cols);
}
}  // namespace detail

SimdError check_gemv_dimensions(std::uint64_t a_len, std::uint64_t x_len, std::uint64_t y_len, std::uint64_t rows,
                                std::uint64_t cols, std::uint64_t lda) noexcept {
    const auto extent = detail::strided_extent(rows, cols, lda);
    if (!extent) return SimdError::mismatch;
    const bool fits = lda >= cols && a_len >= *extent && x_len >= cols && y_len >= rows;
    return fits ? SimdError::success : SimdError::mismatch;
}

SimdError gemv_portable(std::span<const double> a, std::span<const double> x, std::span<double> y,
                        std::uint64_t rows, std::uint64_t cols, std::uint64_t lda) noexcept {
    const SimdError status = check_gemv_dimensions(a.size(), x.size(), y.size(), rows, cols, lda);
    if (status != SimdError::success) return status;
    for (std::size_t i = 0; i < rows; ++i) {
        const double* row = a.data() + i * lda;
        // Two chains halve the dependency on the fused step's latency.
        double even = 0.0;
        double odd = 0.0;
        std::size_t j = 0;
        for (; j + 2 <= cols; j += 2) {
            even = std::fma(row[j], x[j], even);
            odd = std::fma(row[j + 1], x[j + 1], odd);
        }
        if (j < cols) even = std::fma(row[j], x[j], even);
        y[i] = (even + odd) + y[i];
    }
    return SimdError::success;
}

}  // namespace zubrin_simd_core::tiling::gemv
