#include "zubrin_simd/dispatch/isa/lanes_avx2_fma.hpp"
#include "zubrin_simd/dispatch/isa/streaming.hpp"
#include "zubrin_simd/dispatch/abs_reduce.hpp"

namespace zubrin_simd::dispatch::abs_reduce::detail::avx2_fma {

double abs_sum(const double* x, std::size_t n) noexcept { return isa::abs_sum<isa::Lanes<double>>(x, n); }

std::uint64_t abs_max_bits(const double* x, std::size_t n) noexcept {
    return isa::abs_max_bits<isa::Lanes<double>>(x, n);
}

}  // namespace zubrin_simd::dispatch::abs_reduce::detail::avx2_fma
