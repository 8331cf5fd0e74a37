#include "zubrin_simd/dispatch/dot.hpp"

#include "zubrin_simd_core/view/simd_view.hpp"

namespace zubrin_simd::dispatch::dot {

template <class T>
DotResult<T> detail::checked_dot(std::span<const T> a, std::span<const T> b, DotLoop<T> loop) noexcept {
    using zubrin_simd_core::view::simd_view::check_lengths_equal;
    if (const SimdError status = check_lengths_equal(a.size(), b.size()); status != SimdError::success) {
        return std::unexpected(status);
    }
    return loop(a.data(), b.data(), a.size());
}

template DotResult<float> detail::checked_dot<float>(std::span<const float>, std::span<const float>,
                                                     DotLoop<float>) noexcept;
template DotResult<double> detail::checked_dot<double>(std::span<const double>, std::span<const double>,
                                                       DotLoop<double>) noexcept;

namespace dispatch_dot {

DotResult<float> dispatch_dot_avx512f(std::span<const float> a, std::span<const float> b) noexcept {
    return detail::checked_dot(a, b, detail::avx512f::dot);
}
DotResult<double> dispatch_dot_avx512f(std::span<const double> a, std::span<const double> b) noexcept {
    return detail::checked_dot(a, b, detail::avx512f::dot);
}
DotResult<float> dispatch_dot_avx2_fma(std::span<const float> a, std::span<const float> b) noexcept {
    return detail::checked_dot(a, b, detail::avx2_fma::dot);
}
DotResult<double> dispatch_dot_avx2_fma(std::span<const double> a, std::span<const double> b) noexcept {
    return detail::checked_dot(a, b, detail::avx2_fma::dot);
}

}  // namespace dispatch_dot

}  // namespace zubrin_simd::dispatch::dot
