// Element-wise binary operations on float32 slices, out[i] = a[i] op b[i] with the operation
// picked by a marker of zubrin_simd_core::ops::elementwise, in an AVX-512F and an AVX2+FMA
// variant. Each element is one IEEE operation, so every variant and path gives the same bits.
// Outputs of zubrin_simd_core::tuning::streaming_threshold_elements or more bypass the caches
// with non-temporal stores.
#pragma once

#include <cstddef>
#include <span>

#include "zubrin_simd_core/error.hpp"
#include "zubrin_simd_core/ops/elementwise.hpp"

namespace zubrin_simd::dispatch::binary {

using zubrin_simd_core::error::SimdError;
using zubrin_simd_core::ops::elementwise::ElementwiseOp;

// Whether the kernels write n results starting at out with non-temporal stores: n is at least
// the streaming threshold and out is aligned to its element. A float pointer short of float
// alignment can never reach the stream alignment, so such an output takes the ordinary stores,
// which give the same values.
[[nodiscard]] bool uses_streaming_stores(std::size_t n, const float* out) noexcept;

namespace dispatch_elementwise_binary {

// out[i] = a[i] op b[i] for i < a.size(); out[i] for i >= a.size() untouched. Checks, in order:
// a.size() == b.size() (else mismatch), out.size() >= a.size() (else output_too_short); a
// failed check writes nothing. Requires: out does not overlap a or b; the CPU has AVX-512F.
template <ElementwiseOp Op>
[[nodiscard]] SimdError dispatch_elementwise_binary_avx512f(std::span<const float> a, std::span<const float> b,
                                                            std::span<float> out) noexcept;

// The same with 256-bit vectors. Requires: the CPU has AVX2 and FMA.
template <ElementwiseOp Op>
[[nodiscard]] SimdError dispatch_elementwise_binary_avx2_fma(std::span<const float> a, std::span<const float> b,
                                                             std::span<float> out) noexcept;

}  // namespace dispatch_elementwise_binary

// Implementation details: the check every path makes, and the inner loops, one per
// instruction-set unit and operation. The streaming form requires out to be aligned to its element.

namespace detail {
namespace ew = zubrin_simd_core::ops::elementwise;

template <class Op>
using BinaryLoop = void (*)(Op, const float* a, const float* b, float* out, std::size_t n) noexcept;
// The checks and status of dispatch_elementwise_binary_<isa>, then `streaming` when
// uses_streaming_stores(n, out.data()) and `cached` otherwise, for the variants here and for a
// caller's portable loop (which may pass one loop as both); Add, Sub, Mul and Div.
template <ElementwiseOp Op>
[[nodiscard]] SimdError checked_binary(std::span<const float> a, std::span<const float> b, std::span<float> out,
                                       BinaryLoop<Op> cached, BinaryLoop<Op> streaming) noexcept;
}  // namespace detail

namespace detail::avx512f {
void elementwise(ew::Add, const float* a, const float* b, float* out, std::size_t n) noexcept;
void elementwise(ew::Sub, const float* a, const float* b, float* out, std::size_t n) noexcept;
void elementwise(ew::Mul, const float* a, const float* b, float* out, std::size_t n) noexcept;
void elementwise(ew::Div, const float* a, const float* b, float* out, std::size_t n) noexcept;
void elementwise_streaming(ew::Add, const float* a, const float* b, float* out, std::size_t n) noexcept;
void elementwise_streaming(ew::Sub, const float* a, const float* b, float* out, std::size_t n) noexcept;
void elementwise_streaming(ew::Mul, const float* a, const float* b, float* out, std::size_t n) noexcept;
void elementwise_streaming(ew::Div, const float* a, const float* b, float* out, std::size_t n) noexcept;
}  // namespace detail::avx512f

namespace detail::avx2_fma {
void elementwise(ew::Add, const float* a, const float* b, float* out, std::size_t n) noexcept;
void elementwise(ew::Sub, const float* a, const float* b, float* out, std::size_t n) noexcept;
void elementwise(ew::Mul, const float* a, const float* b, float* out, std::size_t n) noexcept;
void elementwise(ew::Div, const float* a, const float* b, float* out, std::size_t n) noexcept;
void elementwise_streaming(ew::Add, const float* a, const float* b, float* out, std::size_t n) noexcept;
void elementwise_streaming(ew::Sub, const float* a, const float* b, float* out, std::size_t n) noexcept;
void elementwise_streaming(ew::Mul, const float* a, const float* b, float* out, std::size_t n) noexcept;
void elementwise_streaming(ew::Div, const float* a, const float* b, float* out, std::size_t n) noexcept;
}  // namespace detail::avx2_fma

namespace dispatch_elementwise_binary {
extern template SimdError dispatch_elementwise_binary_avx512f<detail::ew::Add>(std::span<const float>,
                                                                               std::span<const float>,
                                                                               std::span<float>) noexcept;
extern template SimdError dispatch_elementwise_binary_avx512f<detail::ew::Sub>(std::span<const float>,
                                                                               std::span<const float>,
                                                                               std::span<float>) noexcept;
extern template SimdError dispatch_elementwise_binary_avx512f<detail::ew::Mul>(std::span<const float>,
                                                                               std::span<const float>,
                                                                               std::span<float>) noexcept;
extern template SimdError dispatch_elementwise_binary_avx512f<detail::ew::Div>(std::span<const float>,
                                                                               std::span<const float>,
                                                                               std::span<float>) noexcept;
extern template SimdError dispatch_elementwise_binary_avx2_fma<detail::ew::Add>(std::span<const float>,
                                                                                std::span<const float>,
                                                                                std::span<float>) noexcept;
extern template SimdError dispatch_elementwise_binary_avx2_fma<detail::ew::Sub>(std::span<const float>,
                                                                                std::span<const float>,
                                                                                std::span<float>) noexcept;
extern template SimdError dispatch_elementwise_binary_avx2_fma<detail::ew::Mul>(std::span<const float>,
                                                                                std::span<const float>,
                                                                                std::span<float>) noexcept;
extern template SimdError dispatch_elementwise_binary_avx2_fma<detail::ew::Div>(std::span<const float>,
                                                                                std::span<const float>,
                                                                                std::span<float>) noexcept;
}  // namespace dispatch_elementwise_binary

}  // namespace zubrin_simd::dispatch::binary
