#include "zubrin_simd/dispatch/dot.hpp"

#include "zubrin_simd_core/view/simd_view.hpp"

namespace zubrin_simd::dispatch::dot::dispatch_dot {

namespace {
using zubrin_simd_core::view::simd_view::check_lengths_equal;

template <class T>
using Kernel = T (*)(const T*, const T*, std::size_t) noexcept;

template <class T>
DotResult<T> checked_dot(std::span<const T> a, std::span<const T> b, Kernel<T> kernel) noexcept {
    if (const SimdError status = check_lengths_equal(a.size(), b.size()); status != SimdError::success) {
        return std::unexpected(status);
    }
    return kernel(a.data(), b.data(), a.size());
}
}  // namespace

DotResult<float> dispatch_dot_avx512f(std::span<const float> a, std::span<const float> b) noexcept {
    return checked_dot<float>(a, b, detail::avx512f::dot);
}
DotResult<double> dispatch_dot_avx512f(std::span<const double> a, std::span<const double> b) noexcept {
    return checked_dot<double>(a, b, detail::avx512f::dot);
}
DotResult<float> dispatch_dot_avx2_fma(std::span<const float> a, std::span<const float> b) noexcept {
    return checked_dot<float>(a, b, detail::avx2_fma::dot);
}
DotResult<double> dispatch_dot_avx2_fma(std::span<const double> a, std::span<const double> b) noexcept {
    return checked_dot<double>(a, b, detail::avx2_fma::dot);
}

}  // namespace zubrin_simd::dispatch::dot::dispatch_dot
