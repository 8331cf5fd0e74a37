// axpy over contiguous slices (out[i] = alpha·x[i] + out[i], one fused multiply-add per element)
// and the row updates of a strided output block (each row r gets coeffs[r] times a shared vector,
// or up to four such terms in one pass), float32 and float64, in an AVX-512F and an AVX2+FMA
// variant. Every element gets its fused steps in a fixed order, so all variants give identical bits.
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

// Row r of the output block is out[r·out_stride .. r·out_stride + cols); the block's extent is
// (rows − 1)·out_stride + cols. Elements between rows and past the extent are neither read nor
// written. A refused call (status mismatch) has written nothing; output_too_short is never returned.

namespace dispatch_axpy_rows {

// out[r·out_stride + j] = fma(x[j], coeffs[r], out[r·out_stride + j]) for r < rows, j < cols.
// rows = 0 or cols = 0: success at once, the slices unexamined. Otherwise mismatch when the extent
// overflows, out_stride < cols, coeffs.size() < rows, x.size() < cols or out.size() < extent.
// Requires: out does not overlap coeffs or x; the CPU has AVX-512F.
[[nodiscard]] SimdError dispatch_axpy_rows_avx512f(std::span<const float> coeffs, std::span<const float> x,
                                                   std::span<float> out, std::uint64_t out_stride, std::uint64_t rows,
                                                   std::uint64_t cols) noexcept;
[[nodiscard]] SimdError dispatch_axpy_rows_avx512f(std::span<const double> coeffs, std::span<const double> x,
                                                   std::span<double> out, std::uint64_t out_stride,
                                                   std::uint64_t rows, std::uint64_t cols) noexcept;

// The same with 256-bit vectors. Requires: the CPU has AVX2 and FMA.
[[nodiscard]] SimdError dispatch_axpy_rows_avx2_fma(std::span<const float> coeffs, std::span<const float> x,
                                                    std::span<float> out, std::uint64_t out_stride,
                                                    std::uint64_t rows, std::uint64_t cols) noexcept;
[[nodiscard]] SimdError dispatch_axpy_rows_avx2_fma(std::span<const double> coeffs, std::span<const double> x,
                                                    std::span<double> out, std::uint64_t out_stride,
                                                    std::uint64_t rows, std::uint64_t cols) noexcept;

}  // namespace dispatch_axpy_rows

namespace dispatch_axpy_rows_batch {

// For every r < rows and j < cols: acc = out[r·out_stride + j]; acc = fma(x[p·cols + j],
// coeffs[p·rows + r], acc) for p = 0 .. k − 1 in order; out[r·out_stride + j] = acc. The same bits
// as k successive row updates, with one load and store per element. Callers pass k from 1 to 4;
// a larger k applies all k terms. check_axpy_rows_batch_extents decides: empty gives success at
// once, invalid gives mismatch. Requires: out does not overlap coeffs or x; the CPU has AVX-512F.
[[nodiscard]] SimdError dispatch_axpy_rows_batch_avx512f(std::span<const float> coeffs, std::span<const float> x,
                                                         std::span<float> out, std::uint64_t out_stride,
                                                         std::uint64_t rows, std::uint64_t k,
                                                         std::uint64_t cols) noexcept;
[[nodiscard]] SimdError dispatch_axpy_rows_batch_avx512f(std::span<const double> coeffs, std::span<const double> x,
                                                         std::span<double> out, std::uint64_t out_stride,
                                                         std::uint64_t rows, std::uint64_t k,
                                                         std::uint64_t cols) noexcept;

// The same with 256-bit vectors. Requires: the CPU has AVX2 and FMA.
[[nodiscard]] SimdError dispatch_axpy_rows_batch_avx2_fma(std::span<const float> coeffs, std::span<const float> x,
                                                          std::span<float> out, std::uint64_t out_stride,
                                                          std::uint64_t rows, std::uint64_t k,
                                                          std::uint64_t cols) noexcept;
[[nodiscard]] SimdError dispatch_axpy_rows_batch_avx2_fma(std::span<const double> coeffs,
                                                          std::span<const double> x, std::span<double> out,
                                                          std::uint64_t out_stride, std::uint64_t rows,
                                                          std::uint64_t k, std::uint64_t cols) noexcept;

}  // namespace dispatch_axpy_rows_batch

// Implementation details: the check every path makes, and the inner loops, one per
// instruction-set unit; the row loops run on checked, non-empty blocks.

namespace detail {
template <class T>
using AxpyLoop = void (*)(const T* x, T* out, std::size_t n, T alpha) noexcept;
template <class T>
using AxpyRowsLoop = void (*)(const T* coeffs, const T* x, T* out, std::size_t out_stride, std::size_t rows,
                              std::size_t cols) noexcept;
template <class T>
using AxpyRowsBatchLoop = void (*)(const T* coeffs, const T* x, T* out, std::size_t out_stride, std::size_t rows,
                                   std::size_t k, std::size_t cols) noexcept;
// The loop after the check and status of dispatch_axpy_<isa>, dispatch_axpy_rows_<isa> or
// dispatch_axpy_rows_batch_<isa>, for the variants here and for a caller's portable loops;
// float and double.
template <class T>
[[nodiscard]] SimdError checked_axpy(std::span<const T> x, std::span<T> out, T alpha, AxpyLoop<T> loop) noexcept;
template <class T>
[[nodiscard]] SimdError checked_axpy_rows(std::span<const T> coeffs, std::span<const T> x, std::span<T> out,
                                          std::uint64_t out_stride, std::uint64_t rows, std::uint64_t cols,
                                          AxpyRowsLoop<T> loop) noexcept;
template <class T>
[[nodiscard]] SimdError checked_axpy_rows_batch(std::span<const T> coeffs, std::span<const T> x, std::span<T> out,
                                                std::uint64_t out_stride, std::uint64_t rows, std::uint64_t k,
                                                std::uint64_t cols, AxpyRowsBatchLoop<T> loop) noexcept;
}  // namespace detail

namespace detail::avx512f {
void axpy(const float* x, float* out, std::size_t n, float alpha) noexcept;
void axpy(const double* x, double* out, std::size_t n, double alpha) noexcept;
// out[i] = out[i] + alpha·x[i], product and sum rounded separately; the caller checks lengths.
void axpy_unfused(const float* x, float* out, std::size_t n, float alpha) noexcept;
void axpy_unfused(const double* x, double* out, std::size_t n, double alpha) noexcept;
void axpy_rows(const float* coeffs, const float* x, float* out, std::size_t out_stride, std::size_t rows,
               std::size_t cols) noexcept;
void axpy_rows(const double* coeffs, const double* x, double* out, std::size_t out_stride, std::size_t rows,
               std::size_t cols) noexcept;
void axpy_rows_batch(const float* coeffs, const float* x, float* out, std::size_t out_stride, std::size_t rows,
                     std::size_t k, std::size_t cols) noexcept;
void axpy_rows_batch(const double* coeffs, const double* x, double* out, std::size_t out_stride, std::size_t rows,
                     std::size_t k, std::size_t cols) noexcept;
}  // namespace detail::avx512f

namespace detail::avx2_fma {
void axpy(const float* x, float* out, std::size_t n, float alpha) noexcept;
void axpy(const double* x, double* out, std::size_t n, double alpha) noexcept;
void axpy_unfused(const float* x, float* out, std::size_t n, float alpha) noexcept;
void axpy_unfused(const double* x, double* out, std::size_t n, double alpha) noexcept;
void axpy_rows(const float* coeffs, const float* x, float* out, std::size_t out_stride, std::size_t rows,
               std::size_t cols) noexcept;
void axpy_rows(const double* coeffs, const double* x, double* out, std::size_t out_stride, std::size_t rows,
               std::size_t cols) noexcept;
void axpy_rows_batch(const float* coeffs, const float* x, float* out, std::size_t out_stride, std::size_t rows,
                     std::size_t k, std::size_t cols) noexcept;
void axpy_rows_batch(const double* coeffs, const double* x, double* out, std::size_t out_stride, std::size_t rows,
                     std::size_t k, std::size_t cols) noexcept;
}  // namespace detail::avx2_fma

}  // namespace zubrin_simd::dispatch::axpy
