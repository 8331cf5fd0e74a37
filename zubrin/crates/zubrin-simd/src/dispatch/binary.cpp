#include "zubrin_simd/dispatch/binary.hpp"

#include <cstdint>

#include "zubrin_simd_core/tuning.hpp"
#include "zubrin_simd_core/view/simd_view.hpp"

namespace zubrin_simd::dispatch::binary {

bool uses_streaming_stores(std::size_t n, const float* out) noexcept {
    return n >= zubrin_simd_core::tuning::streaming_threshold_elements &&
           reinterpret_cast<std::uintptr_t>(out) % alignof(float) == 0;
}

template <ElementwiseOp Op>
SimdError detail::checked_binary(std::span<const float> a, std::span<const float> b, std::span<float> out,
                                 BinaryLoop<Op> cached, BinaryLoop<Op> streaming) noexcept {
    using zubrin_simd_core::view::simd_view::check_lengths_equal;
    using zubrin_simd_core::view::simd_view::check_output_length;
    if (const SimdError status = check_lengths_equal(a.size(), b.size()); status != SimdError::success) {
        return status;
    }
    if (const SimdError status = check_output_length(a.size(), out.size()); status != SimdError::success) {
        return status;
    }
    const std::size_t n = a.size();
    if (uses_streaming_stores(n, out.data())) {
        streaming(Op{}, a.data(), b.data(), out.data(), n);
    } else if (n > 0) {
        cached(Op{}, a.data(), b.data(), out.data(), n);
    }
    return SimdError::success;
}

template SimdError detail::checked_binary<detail::ew::Add>(std::span<const float>, std::span<const float>,
                                                           std::span<float>, BinaryLoop<ew::Add>,
                                                           BinaryLoop<ew::Add>) noexcept;
template SimdError detail::checked_binary<detail::ew::Sub>(std::span<const float>, std::span<const float>,
                                                           std::span<float>, BinaryLoop<ew::Sub>,
                                                           BinaryLoop<ew::Sub>) noexcept;
template SimdError detail::checked_binary<detail::ew::Mul>(std::span<const float>, std::span<const float>,
                                                           std::span<float>, BinaryLoop<ew::Mul>,
                                                           BinaryLoop<ew::Mul>) noexcept;
template SimdError detail::checked_binary<detail::ew::Div>(std::span<const float>, std::span<const float>,
                                                           std::span<float>, BinaryLoop<ew::Div>,
                                                           BinaryLoop<ew::Div>) noexcept;

namespace dispatch_elementwise_binary {

template <ElementwiseOp Op>
SimdError dispatch_elementwise_binary_avx512f(std::span<const float> a, std::span<const float> b,
                                              std::span<float> out) noexcept {
    return detail::checked_binary<Op>(a, b, out, detail::avx512f::elementwise, detail::avx512f::elementwise_streaming);
}

template <ElementwiseOp Op>
SimdError dispatch_elementwise_binary_avx2_fma(std::span<const float> a, std::span<const float> b,
                                               std::span<float> out) noexcept {
    return detail::checked_binary<Op>(a, b, out, detail::avx2_fma::elementwise,
                                      detail::avx2_fma::elementwise_streaming);
}

template SimdError dispatch_elementwise_binary_avx512f<detail::ew::Add>(std::span<const float>,
                                                                        std::span<const float>,
                                                                        std::span<float>) noexcept;
template SimdError dispatch_elementwise_binary_avx512f<detail::ew::Sub>(std::span<const float>,
                                                                        std::span<const float>,
                                                                        std::span<float>) noexcept;
template SimdError dispatch_elementwise_binary_avx512f<detail::ew::Mul>(std::span<const float>,
                                                                        std::span<const float>,
                                                                        std::span<float>) noexcept;
template SimdError dispatch_elementwise_binary_avx512f<detail::ew::Div>(std::span<const float>,
                                                                        std::span<const float>,
                                                                        std::span<float>) noexcept;
template SimdError dispatch_elementwise_binary_avx2_fma<detail::ew::Add>(std::span<const float>,
                                                                         std::span<const float>,
                                                                         std::span<float>) noexcept;
template SimdError dispatch_elementwise_binary_avx2_fma<detail::ew::Sub>(std::span<const float>,
                                                                         std::span<const float>,
                                                                         std::span<float>) noexcept;
template SimdError dispatch_elementwise_binary_avx2_fma<detail::ew::Mul>(std::span<const float>,
                                                                         std::span<const float>,
                                                                         std::span<float>) noexcept;
template SimdError dispatch_elementwise_binary_avx2_fma<detail::ew::Div>(std::span<const float>,
                                                                         std::span<const float>,
                                                                         std::span<float>) noexcept;

}  // namespace dispatch_elementwise_binary

}  // namespace zubrin_simd::dispatch::binary
