#include "zubrin_simd/dispatch/isa/lanes_avx2_fma.hpp"
#include "zubrin_simd/dispatch/isa/streaming.hpp"
#include "zubrin_simd/dispatch/binary.hpp"

namespace zubrin_simd::dispatch::binary::detail::avx2_fma {

using F32 = isa::Lanes<float>;

void elementwise(ew::Add, const float* a, const float* b, float* out, std::size_t n) noexcept {
    isa::elementwise<F32, ew::Add>(a, b, out, n);
}
void elementwise(ew::Sub, const float* a, const float* b, float* out, std::size_t n) noexcept {
    isa::elementwise<F32, ew::Sub>(a, b, out, n);
}
void elementwise(ew::Mul, const float* a, const float* b, float* out, std::size_t n) noexcept {
    isa::elementwise<F32, ew::Mul>(a, b, out, n);
}
void elementwise(ew::Div, const float* a, const float* b, float* out, std::size_t n) noexcept {
    isa::elementwise<F32, ew::Div>(a, b, out, n);
}

void elementwise_streaming(ew::Add, const float* a, const float* b, float* out, std::size_t n) noexcept {
    isa::elementwise_streaming<F32, ew::Add>(a, b, out, n);
}
void elementwise_streaming(ew::Sub, const float* a, const float* b, float* out, std::size_t n) noexcept {
    isa::elementwise_streaming<F32, ew::Sub>(a, b, out, n);
}
void elementwise_streaming(ew::Mul, const float* a, const float* b, float* out, std::size_t n) noexcept {
    isa::elementwise_streaming<F32, ew::Mul>(a, b, out, n);
}
void elementwise_streaming(ew::Div, const float* a, const float* b, float* out, std::size_t n) noexcept {
    isa::elementwise_streaming<F32, ew::Div>(a, b, out, n);
}

}  // namespace zubrin_simd::dispatch::binary::detail::avx2_fma
