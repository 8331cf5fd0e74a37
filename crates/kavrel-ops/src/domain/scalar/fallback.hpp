// Portable loops of the Scalar operations, run when the CPU has neither AVX-512F nor AVX2 with
// FMA, and the plain loops that stand in should a kernel ever refuse operands the operation has
// already checked. Every fused step calls the C library's fma/fmaf, which round once.
// Requires (every slice function): the slices have the lengths their operation checked. The row
// loops check their extents themselves, as the kernels do.
#pragma once

#include <cstdint>
#include <span>

#include "zubrin_simd_core/ops/elementwise.hpp"

namespace kavrel_ops::domain::scalar::fallback {

using zubrin_simd_core::ops::elementwise::ElementwiseOp;

// out[i] = fma(x[i], alpha, out[i]) in increasing i: the kernels' bits exactly.
template <class T>
void axpy_portable(std::span<const T> x, std::span<T> out, T alpha) noexcept;

// The kernels' scheme on 128-bit vectors, w = 2 (double) or 4 (float) lanes, blocks of 4w:
// first block plain products into A0..A3, further blocks fused lane by lane, C = ((A0 + A1) + A2)
// + A3; remaining groups of w fused into C (the first one plain when there was no block);
// s = C0 + C1 (double) or ((C0 + C1) + C2) + C3 (float), +0 when n < w; a tail of n mod w
// elements enters as lanes fma(a, b, 0) summed the same way to t, and the result is s + t.
template <class T>
[[nodiscard]] T dot_portable(std::span<const T> a, std::span<const T> b) noexcept;

// out[i] = a[i] op b[i], four elements per step, then one at a time.
template <ElementwiseOp Op>
void elementwise_portable(std::span<const float> a, std::span<const float> b, std::span<float> out) noexcept;

// The row update of the kernels: returns without writing when rows or cols is 0 or when
// check_axpy_rows_batch_extents with one term refuses (overflowing extent, out_stride < cols,
// coeffs shorter than rows, x shorter than cols, out shorter than the extent). Otherwise for each
// row r and column j in increasing order out[r·out_stride + j] = fma(x[j], coeffs[r], ·).
template <class T>
void axpy_rows_portable(std::span<const T> coeffs, std::span<const T> x, std::span<T> out, std::uint64_t out_stride,
                        std::uint64_t rows, std::uint64_t cols) noexcept;

// The batched update of the kernels: returns without writing unless check_axpy_rows_batch_extents
// answers valid. Otherwise for each row r and column j in increasing order acc = out[r·out_stride
// + j], acc = fma(x[p·cols + j], coeffs[p·rows + r], acc) for p = 0 .. k − 1, then the store.
template <class T>
void axpy_rows_batch_portable(std::span<const T> coeffs, std::span<const T> x, std::span<T> out,
                              std::uint64_t out_stride, std::uint64_t rows, std::uint64_t k,
                              std::uint64_t cols) noexcept;

// out[i] = x[i]·alpha + out[i], product and sum rounded separately.
template <class T>
void axpy_unfused(std::span<const T> x, std::span<T> out, T alpha) noexcept;

// ((0 + a0·b0) + a1·b1) + …, unfused, in increasing i.
template <class T>
[[nodiscard]] T dot_unfused(std::span<const T> a, std::span<const T> b) noexcept;

}  // namespace kavrel_ops::domain::scalar::fallback
