// axpy over contiguous slices (out[i] = alpha·x[i] + out[i], one fused multiply-add per element),
// float32 and float64, in an AVX-512F and an AVX2+FMA variant that give identical bits, plus the
// extent check of the batched row update that works on a strided output block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "zubrin_simd_core/error.hpp"

namespace zubrin_simd::dispatch::axpy {

using zubrin_simd_core::error::SimdError;

namespace dispatch_axpy {

// out[i] = fma(alpha, x[i], out[i]) for every i; SimdError::mismatch (nothing written) when the
// lengths differ. Requires: the CPU has AVX-512F.
[[nodiscard]] SimdError dispatch_axpy_avx512f(std::span<const float> x, std::span<float> out, float alpha) noexcept;
[[nodiscard]] SimdError dispatch_axpy_avx512f(std::span<const double> x, std::span<double> out,
                                              double alpha) noexcept;

// The same with 256-bit vectors. Requires: the CPU has AVX2 and FMA.
[[nodiscard]] SimdError dispatch_axpy_avx2_fma(std::span<const float> x, std::span<float> out, float alpha) noexcept;
[[nodiscard]] SimdError dispatch_axpy_avx2_fma(std::span<const double> x, std::span<double> out,
                                               double alpha) noexcept;

}  // namespace dispatch_axpy

// Verdict on the operands of a batched row update of k terms over rows × cols output elements.
enum class AxpyRowsBatchExtents : std::uint8_t {
    empty,    // rows, k or cols is 0: nothing to do, nothing else examined
    invalid,  // an extent overflows or a slice is too short (kernel status 0)
    valid,
};

// empty when rows, k or cols is 0 (tested first); invalid when rows·k, k·cols, (rows − 1)·out_stride
// or extent = (rows − 1)·out_stride + cols overflows, or when out_len < extent, out_stride < cols,
// coeffs_len < rows·k or x_len < k·cols; otherwise valid.
[[nodiscard]] AxpyRowsBatchExtents check_axpy_rows_batch_extents(std::uint64_t coeffs_len, std::uint64_t x_len,
                                                                 std::uint64_t out_len, std::uint64_t out_stride,
                                                                 std::uint64_t rows, std::uint64_t k,
                                                                 std::uint64_t cols) noexcept;

// Implementation details: the inner loops, one per instruction-set unit.

namespace detail::avx512f {
void axpy(const float* x, float* out, std::size_t n, float alpha) noexcept;
void axpy(const double* x, double* out, std::size_t n, double alpha) noexcept;
}  // namespace detail::avx512f

namespace detail::avx2_fma {
void axpy(const float* x, float* out, std::size_t n, float alpha) noexcept;
void axpy(const double* x, double* out, std::size_t n, double alpha) noexcept;
}  // namespace detail::avx2_fma

}  // namespace zubrin_simd::dispatch::axpy
