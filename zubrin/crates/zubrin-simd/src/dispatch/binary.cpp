#include "zubrin_simd/dispatch/binary.hpp"

#include <cstdint>

#include "zubrin_simd_core/view/simd_view.hpp"

namespace zubrin_simd::dispatch::binary::dispatch_elementwise_binary {

namespace {
using zubrin_simd_core::view::simd_view::check_lengths_equal;
using zubrin_simd_core::view::simd_view::check_output_length;

template <class Op>
using Kernel = void (*)(Op, const float*, const float*, float*, std::size_t) noexcept;

template <class Op>
SimdError checked_binary(std::span<const float> a, std::span<const float> b, std::span<float> out,
                         Kernel<Op> cached, Kernel<Op> streaming) noexcept {
    if (const SimdError status = check_lengths_equal(a.size(), b.size()); status != SimdError::success) {
        return status;
    }
    if (const SimdError status = check_output_length(a.size(), out.size()); status != SimdError::success) {
        return status;
    }
    const std::size_t n = a.size();
    // A float pointer short of float alignment can never reach the stream alignment; such an
    // output takes the ordinary stores, which give the same values.
    const bool element_aligned = reinterpret_cast<std::uintptr_t>(out.data()) % alignof(float) == 0;
    if (n >= streaming_threshold_elements && element_aligned) {
        streaming(Op{}, a.data(), b.data(), out.data(), n);
    } else if (n > 0) {
        cached(Op{}, a.data(), b.data(), out.data(), n);
    }
    return SimdError::success;
}
}  // namespace

template <ElementwiseOp Op>
SimdError dispatch_elementwise_binary_avx512f(std::span<const float> a, std::span<const float> b,
                                              std::span<float> out) noexcept {
    return checked_binary<Op>(a, b, out, detail::avx512f::elementwise, detail::avx512f::elementwise_streaming);
}

template <ElementwiseOp Op>
SimdError dispatch_elementwise_binary_avx2_fma(std::span<const float> a, std::span<const float> b,
                                               std::span<float> out) noexcept {
    return checked_binary<Op>(a, b, out, detail::avx2_fma::elementwise, detail::avx2_fma::elementwise_streaming);
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

}  // namespace zubrin_simd::dispatch::binary::dispatch_elementwise_binary
