#include "zubrin_simd/dispatch/sum.hpp"

namespace zubrin_simd::dispatch::sum::dispatch_sum {

float dispatch_sum_avx512f(std::span<const float> x) noexcept { return detail::avx512f::sum(x.data(), x.size()); }

float dispatch_sum_avx2_fma(std::span<const float> x) noexcept { return detail::avx2_fma::sum(x.data(), x.size()); }

}  // namespace zubrin_simd::dispatch::sum::dispatch_sum
