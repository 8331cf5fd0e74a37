// Dot products of two equally long contiguous slices, float32 and float64, in an AVX-512F and an
// AVX2+FMA variant. Each variant keeps one fixed summation order (see isa/streaming.hpp), so it
// repeats its bits exactly; the two may differ in the last bits because their lane counts differ.
// A variant does not test the CPU: the caller's selector does.
#pragma once

#include <cstddef>
#include <expected>
#include <span>

#include "zubrin_simd_core/error.hpp"

namespace zubrin_simd::dispatch::dot {

using zubrin_simd_core::error::SimdError;

// The value, or the status of a failed length check.
template <class T>
using DotResult = std::expected<T, SimdError>;

namespace dispatch_dot {

// Σ a[i]·b[i]; SimdError::mismatch when the lengths differ; +0 for two empty slices.
// Requires: the CPU has AVX-512F.
[[nodiscard]] DotResult<float> dispatch_dot_avx512f(std::span<const float> a, std::span<const float> b) noexcept;
[[nodiscard]] DotResult<double> dispatch_dot_avx512f(std::span<const double> a, std::span<const double> b) noexcept;

// The same with 256-bit vectors. Requires: the CPU has AVX2 and FMA.
[[nodiscard]] DotResult<float> dispatch_dot_avx2_fma(std::span<const float> a, std::span<const float> b) noexcept;
[[nodiscard]] DotResult<double> dispatch_dot_avx2_fma(std::span<const double> a,
                                                      std::span<const double> b) noexcept;

}  // namespace dispatch_dot

// Implementation details: the check every path makes, and the inner loops, one per
// instruction-set unit.

namespace detail {
template <class T>
using DotLoop = T (*)(const T* a, const T* b, std::size_t n) noexcept;
// loop(a, b, n) after the length check of dispatch_dot_<isa>, for the variants here and for a
// caller's portable loop; float and double.
template <class T>
[[nodiscard]] DotResult<T> checked_dot(std::span<const T> a, std::span<const T> b, DotLoop<T> loop) noexcept;
}  // namespace detail

namespace detail::avx512f {
float dot(const float* a, const float* b, std::size_t n) noexcept;
double dot(const double* a, const double* b, std::size_t n) noexcept;
}  // namespace detail::avx512f

namespace detail::avx2_fma {
float dot(const float* a, const float* b, std::size_t n) noexcept;
double dot(const double* a, const double* b, std::size_t n) noexcept;
}  // namespace detail::avx2_fma

}  // namespace zubrin_simd::dispatch::dot
