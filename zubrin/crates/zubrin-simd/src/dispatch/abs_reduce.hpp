// Sum and maximum of absolute values of a contiguous float64 slice, in an AVX-512F and an
// AVX2+FMA variant. No check, no failure; +0 for an empty slice.
// abs_sum keeps one fixed summation order per variant (the variants may differ in the last bits).
// abs_max is exact, so every variant gives the same bits: a quiet NaN when any element is NaN,
// wherever it sits, otherwise the largest magnitude.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zubrin_simd::dispatch::abs_reduce {

namespace dispatch_abs_sum {
// Σ abs(x[i]). Requires: the CPU has AVX-512F.
[[nodiscard]] double dispatch_abs_sum_avx512f(std::span<const double> x) noexcept;
// Requires: the CPU has AVX2 and FMA.
[[nodiscard]] double dispatch_abs_sum_avx2_fma(std::span<const double> x) noexcept;
}  // namespace dispatch_abs_sum

namespace dispatch_abs_max {
// max abs(x[i]); std::numeric_limits<double>::quiet_NaN() when any x[i] is NaN.
// Requires: the CPU has AVX-512F.
[[nodiscard]] double dispatch_abs_max_avx512f(std::span<const double> x) noexcept;
// Requires: the CPU has AVX2 and FMA.
[[nodiscard]] double dispatch_abs_max_avx2_fma(std::span<const double> x) noexcept;
}  // namespace dispatch_abs_max

// Implementation details: the inner loops, one per instruction-set unit, and the step every
// abs_max path ends with. abs_max_bits returns the largest bit pattern of the magnitudes, 0 for no
// element.

namespace detail {
using AbsMaxBitsLoop = std::uint64_t (*)(const double* x, std::size_t n) noexcept;
// dispatch_abs_max_<isa> over the loop's largest pattern, for the variants here and for a
// caller's portable loop: any NaN pattern becomes one quiet NaN.
[[nodiscard]] double abs_max_from_bits(std::span<const double> x, AbsMaxBitsLoop loop) noexcept;
}  // namespace detail

namespace detail::avx512f {
double abs_sum(const double* x, std::size_t n) noexcept;
std::uint64_t abs_max_bits(const double* x, std::size_t n) noexcept;
}  // namespace detail::avx512f

namespace detail::avx2_fma {
double abs_sum(const double* x, std::size_t n) noexcept;
std::uint64_t abs_max_bits(const double* x, std::size_t n) noexcept;
}  // namespace detail::avx2_fma

}  // namespace zubrin_simd::dispatch::abs_reduce
