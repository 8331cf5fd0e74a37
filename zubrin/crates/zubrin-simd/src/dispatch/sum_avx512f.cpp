#include "zubrin_simd/dispatch/isa/lanes_avx512f.hpp"
#include "zubrin_simd/dispatch/isa/streaming.hpp"
#include "zubrin_simd/dispatch/sum.hpp"

namespace zubrin_simd::dispatch::sum::detail::avx512f {

float sum(const float* x, std::size_t n) noexcept { return isa::sum<isa::Lanes<float>>(x, n); }

}  // namespace zubrin_simd::dispatch::sum::detail::avx512f
