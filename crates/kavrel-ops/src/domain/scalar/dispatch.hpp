// One selector per kernel family: dispatch_<op> reads the CPU-feature word on every call and runs
// the family's AVX-512F kernel, else its AVX2+FMA kernel, else its portable loop (fallback.hpp).
// A selector takes its kernels' operands, makes their check and returns their status or value, so
// every path accepts and refuses the same operands. Code outside this module calls the selector,
// never a variant. The selectors live here rather than beside the kernels because the feature word
// and the portable loops are in this library, which the kernel library does not see.
#pragma once

#include <cstdint>
#include <span>

#include "kavrel_ops/domain/scalar/cpu_features.hpp"
#include "zubrin_simd/dispatch/dot.hpp"
#include "zubrin_simd_core/error.hpp"
#include "zubrin_simd_core/ops/elementwise.hpp"

namespace kavrel_ops::domain::scalar::dispatch {

using zubrin_simd::dispatch::dot::DotResult;
using zubrin_simd_core::error::SimdError;
using zubrin_simd_core::ops::elementwise::ElementwiseOp;

// Σ a[i]·b[i] in the fixed order of the path taken; mismatch when the lengths differ.
template <class T>
[[nodiscard]] DotResult<T> dispatch_dot(std::span<const T> a, std::span<const T> b) noexcept;

// out[i] = fma(alpha, x[i], out[i]), the same bits on every path; mismatch (nothing written) when
// the lengths differ.
template <class T>
[[nodiscard]] SimdError dispatch_axpy(std::span<const T> x, std::span<T> out, T alpha) noexcept;

// out[r·out_stride + j] = fma(x[j], coeffs[r], ·), the same bits on every path. rows or cols 0:
// success at once; mismatch (nothing written) on an overflowing extent, out_stride < cols or a
// short slice. Requires: out does not overlap coeffs or x.
template <class T>
[[nodiscard]] SimdError dispatch_axpy_rows(std::span<const T> coeffs, std::span<const T> x, std::span<T> out,
                                           std::uint64_t out_stride, std::uint64_t rows,
                                           std::uint64_t cols) noexcept;

// k terms of the row update in one pass, term 0 first, the same bits on every path; the verdict
// of check_axpy_rows_batch_extents (empty: success, invalid: mismatch, both writing nothing).
// Requires: out does not overlap coeffs or x.
template <class T>
[[nodiscard]] SimdError dispatch_axpy_rows_batch(std::span<const T> coeffs, std::span<const T> x,
                                                 std::span<T> out, std::uint64_t out_stride, std::uint64_t rows,
                                                 std::uint64_t k, std::uint64_t cols) noexcept;

// out[i] = a[i] op b[i] for i < a.size(), the same bits on every path; out past a.size() untouched.
// mismatch when a and b differ in length, then output_too_short when out is shorter than a.
// Requires: out does not overlap a or b.
template <ElementwiseOp Op>
[[nodiscard]] SimdError dispatch_elementwise_binary(std::span<const float> a, std::span<const float> b,
                                                    std::span<float> out) noexcept;

// Σ x[i] in the fixed order of the path taken; +0 when empty.
[[nodiscard]] float dispatch_sum(std::span<const float> x) noexcept;

// Σ abs(x[i]) in the fixed order of the path taken; +0 when empty.
[[nodiscard]] double dispatch_abs_sum(std::span<const double> x) noexcept;

// max abs(x[i]), a quiet NaN when any element is NaN, +0 when empty; the same bits on every path.
[[nodiscard]] double dispatch_abs_max(std::span<const double> x) noexcept;

// y[i] += Σ over j < cols of a[i·lda + j]·x[j], each row in the lane order of the path taken;
// check_gemv_dimensions first (mismatch, nothing written). Requires: y does not overlap a or x.
[[nodiscard]] SimdError dispatch_gemv_strided(std::span<const double> a, std::span<const double> x,
                                              std::span<double> y, std::uint64_t rows, std::uint64_t cols,
                                              std::uint64_t lda) noexcept;

// y[j] = fma(a[i·lda + j], x[i], y[j]) for i = 0 .. rows − 1 in order, the same bits on every path;
// check_gemv_t_dimensions first (mismatch, nothing written). Requires: y does not overlap a or x.
[[nodiscard]] SimdError dispatch_gemv_transpose_strided(std::span<const double> a, std::span<const double> x,
                                                        std::span<double> y, std::uint64_t rows, std::uint64_t cols,
                                                        std::uint64_t lda) noexcept;

// C += A·B for dense row-major A (m×k), B (k×n) and C (m×n): every C(i, j) becomes the chain
// c ← fma(a(i, p), b(p, j), c) over p = 0 … k − 1, the same bits on every path, each path with its
// own register tile and packed panels. check_tiled_gemm_dimensions first (mismatch: C unchanged, no
// buffer taken). Requires: c does not overlap a or b.
template <class T>
[[nodiscard]] SimdError dispatch_tiled_gemm(std::span<const T> a, std::span<const T> b, std::span<T> c,
                                            std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept;

// The shared-panel product of zubrin's dispatch_shared_panels, for a path chosen once by the
// caller (the panels' layout belongs to one path): the panel width of `path`, the packing of full
// panels first … last − 1, and C += A·B from those panels. The statuses of the kernels' checks.
template <class T>
[[nodiscard]] std::uint64_t panel_width(cpu_features::KernelPath path) noexcept;
template <class T>
[[nodiscard]] SimdError dispatch_pack_full_panels(cpu_features::KernelPath path, std::span<const T> b, std::uint64_t n,
                                                  std::uint64_t k, std::span<T> panels, std::uint64_t first,
                                                  std::uint64_t last) noexcept;
template <class T>
[[nodiscard]] SimdError dispatch_tiled_gemm_panels(cpu_features::KernelPath path, std::span<const T> a,
                                                   std::span<const T> b, std::span<const T> panels, std::span<T> c,
                                                   std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept;

}  // namespace kavrel_ops::domain::scalar::dispatch
