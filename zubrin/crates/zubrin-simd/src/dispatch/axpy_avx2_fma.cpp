#include "zubrin_simd/dispatch/isa/lanes_avx2_fma.hpp"
#include "zubrin_simd/dispatch/isa/streaming.hpp"
#include "zubrin_simd/dispatch/axpy.hpp"

namespace zubrin_simd::dispatch::axpy::detail::avx2_fma {

void axpy(const float* x, float* out, std::size_t n, float alpha) noexcept {
    isa::axpy<isa::Lanes<float>>(x, out, n, alpha);
}
void axpy(const double* x, double* out, std::size_t n, double alpha) noexcept {
    isa::axpy<isa::Lanes<double>>(x, out, n, alpha);
}

}  // namespace zubrin_simd::dispatch::axpy::detail::avx2_fma
