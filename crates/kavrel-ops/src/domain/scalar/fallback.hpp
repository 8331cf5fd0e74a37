// The portable loops of the kernel families, run when the CPU has neither AVX-512F nor AVX2 with
// FMA, and the plain loops that stand in should a kernel ever refuse operands the operation has
// already checked. Every fused step calls the C library's fma/fmaf, which round once.
// Each portable loop takes its family's operands and makes its family's check (zubrin's own
// checked_<op>), returning the kernels' status (or tagged value), so the selectors of dispatch.hpp
// treat all three paths alike. The streaming loops, the row updates and the matrix product are
// zubrin's shared loops instantiated over 128-bit portable "vectors" (2 doubles or 4 floats),
// whose lanes are computed one at a time: each of those orders is stated once, in zubrin.
#pragma once

#include <cstdint>
#include <span>

#include "kavrel_ops/domain/tuning.hpp"
#include "zubrin_simd/dispatch/dot.hpp"
#include "zubrin_simd_core/error.hpp"
#include "zubrin_simd_core/ops/elementwise.hpp"

namespace kavrel_ops::domain::scalar::fallback {

using zubrin_simd_core::error::SimdError;
using zubrin_simd::dispatch::dot::DotResult;
using zubrin_simd_core::ops::elementwise::ElementwiseOp;

// out[i] = fma(alpha, x[i], out[i]), the kernels' loop and bits. Lengths that differ give
// mismatch and write nothing.
template <class T>
[[nodiscard]] SimdError axpy_portable(std::span<const T> x, std::span<T> out, T alpha) noexcept;

// The kernels' loop on 128-bit vectors, w = 2 (double) or 4 (float) lanes, blocks of 4w:
// first block plain products into A0..A3, further blocks fused lane by lane, C = ((A0 + A1) + A2)
// + A3; remaining groups of w fused into C (the first one plain when there was no block);
// s = C0 + C1 (double) or ((C0 + C1) + C2) + C3 (float), +0 when n < w; a tail of n mod w
// elements enters as lanes fma(a, b, 0) summed the same way to t, and the result is s + t.
// Lengths that differ give mismatch.
template <class T>
[[nodiscard]] DotResult<T> dot_portable(std::span<const T> a, std::span<const T> b) noexcept;

// out[i] = a[i] op b[i] for i < a.size(), the kernels' loop on 4-lane vectors without streaming
// stores; out[i] for i >= a.size() untouched. Checks, in order: a.size() == b.size() (else
// mismatch), out.size() >= a.size() (else output_too_short); a failed check writes nothing.
template <ElementwiseOp Op>
[[nodiscard]] SimdError elementwise_portable(std::span<const float> a, std::span<const float> b,
                                             std::span<float> out) noexcept;

// The row update of the kernels: success without writing when rows or cols is 0; mismatch without
// writing when check_axpy_rows_batch_extents with one term refuses (overflowing extent,
// out_stride < cols, coeffs shorter than rows, x shorter than cols, out shorter than the extent).
// Otherwise for each row r and column j in increasing order out[r·out_stride + j] = fma(x[j],
// coeffs[r], ·).
template <class T>
[[nodiscard]] SimdError axpy_rows_portable(std::span<const T> coeffs, std::span<const T> x, std::span<T> out,
                                           std::uint64_t out_stride, std::uint64_t rows,
                                           std::uint64_t cols) noexcept;

// The batched update of the kernels, under the verdict of check_axpy_rows_batch_extents: empty is
// success and invalid is mismatch, both without writing. Otherwise for each row r and column j in
// increasing order acc = out[r·out_stride + j], acc = fma(x[p·cols + j], coeffs[p·rows + r], acc)
// for p = 0 .. k − 1, then the store.
template <class T>
[[nodiscard]] SimdError axpy_rows_batch_portable(std::span<const T> coeffs, std::span<const T> x,
                                                 std::span<T> out, std::uint64_t out_stride, std::uint64_t rows,
                                                 std::uint64_t k, std::uint64_t cols) noexcept;

// Σ x[i] in float32, the kernels' loop on 4-lane vectors: four accumulators per block of 16
// (first block 0 + x), then (A0 + A1) + (A2 + A3) lane-wise (four lanes of +0 without a block),
// remaining groups of 4 added lane-wise, h = ((acc[0] + acc[1]) + acc[2]) + acc[3], and for a tail
// y0, y1, y2 of n mod 4 elements (absent ones +0) the result h + (((y0 + y1) + y2) + 0). Empty: +0.
[[nodiscard]] float sum_portable(std::span<const float> x) noexcept;

// Σ abs(x[i]), the kernels' loop on 2-lane vectors: eight partials p_t start as abs(x[t]) and
// take abs(x[8b + t]) of every further block of eight; lane 0 = (p0 + p2) + (p4 + p6), lane 1 =
// (p1 + p3) + (p5 + p7) (both +0 when n < 8); the remaining pairs add into lane 0 and lane 1; the
// result is lane 0 + lane 1, plus abs(x[n − 1]) last when n is odd. Empty: +0.
[[nodiscard]] double abs_sum_portable(std::span<const double> x) noexcept;

// max abs(x[i]), a quiet NaN when any element is NaN, +0 when empty: the kernels' loop over the
// magnitudes' bit patterns, and their bits exactly, since taking a maximum rounds nothing.
[[nodiscard]] double abs_max_portable(std::span<const double> x) noexcept;

// C += A·B with the kernels' loop nest (zubrin_simd_core/tiling/gemm.hpp) on 128-bit "vectors"
// whose lanes are computed one at a time: the register tile tuning::portable_tile, strips of one
// vector (2 lanes for float64, 4 for float32), B packed as the kernels pack it. Every step is one
// fma/fmaf(element of A, element of B, accumulator), so C gets the kernels' bits.
// check_tiled_gemm_dimensions first: mismatch leaves C unchanged and takes no buffer.
template <class T>
[[nodiscard]] SimdError tiled_gemm_portable(std::span<const T> a, std::span<const T> b, std::span<T> c,
                                            std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept;

// The portable tile's full panels of B (tuning::portable_tile's columns) packed for
// tiled_gemm_panels_portable, as the one packed copy several products share; the checks of
// zubrin's dispatch_pack_full_panels_<isa>.
template <class T>
inline constexpr std::uint64_t portable_panel_width = tuning::portable_tile<T>.columns;
template <class T>
[[nodiscard]] SimdError pack_full_panels_portable(std::span<const T> b, std::uint64_t n, std::uint64_t k,
                                                  std::span<T> panels, std::uint64_t first,
                                                  std::uint64_t last) noexcept;
// tiled_gemm_portable's tiled path with B's full panels read from those panels; the checks of
// zubrin's dispatch_tiled_gemm_panels_<isa>.
template <class T>
[[nodiscard]] SimdError tiled_gemm_panels_portable(std::span<const T> a, std::span<const T> b,
                                                   std::span<const T> panels, std::span<T> c, std::uint64_t m,
                                                   std::uint64_t n, std::uint64_t k) noexcept;

// out[i] = out[i] + alpha·x[i], product and sum rounded separately (the kernels' unfused loop).
template <class T>
void axpy_unfused(std::span<const T> x, std::span<T> out, T alpha) noexcept;

// ((0 + a0·b0) + a1·b1) + …, unfused, in increasing i.
template <class T>
[[nodiscard]] T dot_unfused(std::span<const T> a, std::span<const T> b) noexcept;

}  // namespace kavrel_ops::domain::scalar::fallback
