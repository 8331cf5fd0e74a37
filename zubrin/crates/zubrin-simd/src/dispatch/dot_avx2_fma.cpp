#include "zubrin_simd/dispatch/isa/lanes_avx2_fma.hpp"
#include "zubrin_simd/dispatch/isa/streaming.hpp"
#include "zubrin_simd/dispatch/dot.hpp"

namespace zubrin_simd::dispatch::dot::detail::avx2_fma {

float dot(const float* a, const float* b, std::size_t n) noexcept { return isa::dot<isa::Lanes<float>>(a, b, n); }
double dot(const double* a, const double* b, std::size_t n) noexcept { return isa::dot<isa::Lanes<double>>(a, b, n); }

}  // namespace zubrin_simd::dispatch::dot::detail::avx2_fma
