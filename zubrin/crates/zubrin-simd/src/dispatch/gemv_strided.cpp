#include "zubrin_simd/dispatch/gemv_strided.hpp"

#include "zubrin_simd_core/tiling/gemv.hpp"

namespace zubrin_simd::dispatch::gemv_strided::dispatch_gemv_strided {

namespace {
using zubrin_simd_core::tiling::gemv::check_gemv_dimensions;

using Kernel = void (*)(const double*, const double*, double*, std::size_t, std::size_t, std::size_t) noexcept;

SimdError checked_gemv(std::span<const double> a, std::span<const double> x, std::span<double> y, std::uint64_t rows,
                       std::uint64_t cols, std::uint64_t lda, Kernel kernel) noexcept {
    if (const SimdError status = check_gemv_dimensions(a.size(), x.size(), y.size(), rows, cols, lda);
        status != SimdError::success) {
        return status;
    }
    if (rows > 0) kernel(a.data(), x.data(), y.data(), rows, cols, lda);
    return SimdError::success;
}
}  // namespace

SimdError dispatch_gemv_strided_avx512f(std::span<const double> a, std::span<const double> x, std::span<double> y,
                                        std::uint64_t rows, std::uint64_t cols, std::uint64_t lda) noexcept {
    return checked_gemv(a, x, y, rows, cols, lda, detail::avx512f::gemv);
}

SimdError dispatch_gemv_strided_avx2_fma(std::span<const double> a, std::span<const double> x, std::span<double> y,
                                         std::uint64_t rows, std::uint64_t cols, std::uint64_t lda) noexcept {
    return checked_gemv(a, x, y, rows, cols, lda, detail::avx2_fma::gemv);
}

}  // namespace zubrin_simd::dispatch::gemv_strided::dispatch_gemv_strided
