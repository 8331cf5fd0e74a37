// Sum of a contiguous float32 slice in an AVX-512F and an AVX2+FMA variant. Each keeps one fixed
// summation order (see isa/streaming.hpp) and repeats its bits exactly; the two may differ in the
// last bits since their blocks are 64 and 32 elements long. No check, no failure.
#pragma once

#include <cstddef>
#include <span>

namespace zubrin_simd::dispatch::sum {

namespace dispatch_sum {

// Σ x[i]; +0 for an empty slice. Requires: the CPU has AVX-512F.
[[nodiscard]] float dispatch_sum_avx512f(std::span<const float> x) noexcept;

// The same with 256-bit vectors. Requires: the CPU has AVX2 and FMA.
[[nodiscard]] float dispatch_sum_avx2_fma(std::span<const float> x) noexcept;

}  // namespace dispatch_sum

// Implementation details: the inner loops, one per instruction-set unit.

namespace detail::avx512f {
float sum(const float* x, std::size_t n) noexcept;
}
namespace detail::avx2_fma {
float sum(const float* x, std::size_t n) noexcept;
}

}  // namespace zubrin_simd::dispatch::sum
