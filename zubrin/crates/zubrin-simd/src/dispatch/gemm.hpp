// The register-tiled matrix product C += A·B over dense row-major float32 and float64 matrices
// (A m×k, B k×n, C m×n; row strides k, n and n), in an AVX-512F and an AVX2+FMA variant. Every
// element of C receives c ← fma(a(i, p), b(p, j), c) for p = 0 … k − 1 in order, so both variants
// and the portable loops give identical bits. B is packed into aligned panels from
// zubrin_simd_core::tuning::packing_threshold_bytes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "zubrin_simd_core/error.hpp"
#include "zubrin_simd_core/tuning.hpp"

namespace zubrin_simd::dispatch::gemm {

using zubrin_simd_core::error::SimdError;

namespace dispatch_tiled_gemm {

// C += A·B. mismatch (nothing written, no buffer taken) when m·k, k·n or m·n overflows or a, b or
// c is shorter than m·k, k·n or m·n (a short c is no output_too_short); elements past those
// extents are never touched. m, n or k zero: success with C unchanged.
// Requires: c does not overlap a or b (a and b may overlap); the CPU has AVX-512F.
// Register tiles: zubrin_simd_core::tuning::avx512f_tile.
[[nodiscard]] SimdError dispatch_tiled_gemm_avx512f(std::span<const float> a, std::span<const float> b,
                                                    std::span<float> c, std::uint64_t m, std::uint64_t n,
                                                    std::uint64_t k) noexcept;
[[nodiscard]] SimdError dispatch_tiled_gemm_avx512f(std::span<const double> a, std::span<const double> b,
                                                    std::span<double> c, std::uint64_t m, std::uint64_t n,
                                                    std::uint64_t k) noexcept;

// The same with 256-bit vectors. Requires: the CPU has AVX2 and FMA.
// Register tiles: zubrin_simd_core::tuning::avx2_fma_tile.
[[nodiscard]] SimdError dispatch_tiled_gemm_avx2_fma(std::span<const float> a, std::span<const float> b,
                                                     std::span<float> c, std::uint64_t m, std::uint64_t n,
                                                     std::uint64_t k) noexcept;
[[nodiscard]] SimdError dispatch_tiled_gemm_avx2_fma(std::span<const double> a, std::span<const double> b,
                                                     std::span<double> c, std::uint64_t m, std::uint64_t n,
                                                     std::uint64_t k) noexcept;

}  // namespace dispatch_tiled_gemm

// One packed copy of B shared by several products over it (the row blocks of one product, the
// items of a batch): B's full panels packed once as a variant's tiled path packs them, then the
// tiled path run from them, with the bits of dispatch_tiled_gemm. A variant computes only from
// panels that the same variant packed.
namespace dispatch_shared_panels {

// Columns per full panel: the register tile's width.
template <class T>
inline constexpr std::uint64_t panel_width_avx512f = zubrin_simd_core::tuning::avx512f_tile<T>.columns;
template <class T>
inline constexpr std::uint64_t panel_width_avx2_fma = zubrin_simd_core::tuning::avx2_fma_tile<T>.columns;

// Packs full panels first … last − 1 of B (k × n, row-major) into `panels`, panel q (columns
// q·W … q·W + W − 1) at q·W·k, element p·W + c holding B(p, q·W + c). mismatch, nothing written,
// when k·n overflows, b is shorter than k·n, first > last, last > n div W, or panels is shorter than
// (n div W)·W·k. Requires: panels does not overlap b; the CPU has the variant's instructions.
[[nodiscard]] SimdError dispatch_pack_full_panels_avx512f(std::span<const float> b, std::uint64_t n, std::uint64_t k,
                                                          std::span<float> panels, std::uint64_t first,
                                                          std::uint64_t last) noexcept;
[[nodiscard]] SimdError dispatch_pack_full_panels_avx512f(std::span<const double> b, std::uint64_t n, std::uint64_t k,
                                                          std::span<double> panels, std::uint64_t first,
                                                          std::uint64_t last) noexcept;
[[nodiscard]] SimdError dispatch_pack_full_panels_avx2_fma(std::span<const float> b, std::uint64_t n, std::uint64_t k,
                                                           std::span<float> panels, std::uint64_t first,
                                                           std::uint64_t last) noexcept;
[[nodiscard]] SimdError dispatch_pack_full_panels_avx2_fma(std::span<const double> b, std::uint64_t n,
                                                           std::uint64_t k, std::span<double> panels,
                                                           std::uint64_t first, std::uint64_t last) noexcept;

// C += A·B on the tiled path with B's full panels read from `panels` (all of them packed by the
// same variant from this b, n and k) and the remaining columns read in place. mismatch, nothing
// written, on a failed operand check, panels shorter than (n div W)·W·k, or a product that is not on
// the tiled path (m, n or k below tuning::tiled_min_rows, _cols or _depth) or has no full panel.
// Requires: c overlaps none of a, b and panels; the CPU has the variant's instructions.
[[nodiscard]] SimdError dispatch_tiled_gemm_panels_avx512f(std::span<const float> a, std::span<const float> b,
                                                           std::span<const float> panels, std::span<float> c,
                                                           std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept;
[[nodiscard]] SimdError dispatch_tiled_gemm_panels_avx512f(std::span<const double> a, std::span<const double> b,
                                                           std::span<const double> panels, std::span<double> c,
                                                           std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept;
[[nodiscard]] SimdError dispatch_tiled_gemm_panels_avx2_fma(std::span<const float> a, std::span<const float> b,
                                                            std::span<const float> panels, std::span<float> c,
                                                            std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept;
[[nodiscard]] SimdError dispatch_tiled_gemm_panels_avx2_fma(std::span<const double> a, std::span<const double> b,
                                                            std::span<const double> panels, std::span<double> c,
                                                            std::uint64_t m, std::uint64_t n,
                                                            std::uint64_t k) noexcept;

}  // namespace dispatch_shared_panels

// Implementation details: the checks every path makes, and the loop nest instantiated in each
// instruction-set unit, run on checked operands.

namespace detail {
template <class T>
using GemmNest = void (*)(const T* a, const T* b, T* c, std::size_t m, std::size_t n, std::size_t k) noexcept;
template <class T>
using PackLoop = void (*)(const T* b, std::size_t n, std::size_t k, T* panels, std::size_t first,
                          std::size_t last) noexcept;
template <class T>
using PanelsNest = void (*)(const T* a, const T* b, const T* panels, T* c, std::size_t m, std::size_t n,
                            std::size_t k) noexcept;
// The nest or loop after the checks and status of dispatch_tiled_gemm_<isa>,
// dispatch_pack_full_panels_<isa> or dispatch_tiled_gemm_panels_<isa> for panels `width` columns
// wide, for the variants here and for a caller's portable nest; float and double.
template <class T>
[[nodiscard]] SimdError checked_tiled_gemm(std::span<const T> a, std::span<const T> b, std::span<T> c,
                                           std::uint64_t m, std::uint64_t n, std::uint64_t k,
                                           GemmNest<T> nest) noexcept;
template <class T>
[[nodiscard]] SimdError checked_pack_full_panels(std::span<const T> b, std::uint64_t n, std::uint64_t k,
                                                 std::span<T> panels, std::uint64_t first, std::uint64_t last,
                                                 std::uint64_t width, PackLoop<T> loop) noexcept;
template <class T>
[[nodiscard]] SimdError checked_tiled_gemm_panels(std::span<const T> a, std::span<const T> b,
                                                  std::span<const T> panels, std::span<T> c, std::uint64_t m,
                                                  std::uint64_t n, std::uint64_t k, std::uint64_t width,
                                                  PanelsNest<T> nest) noexcept;
}  // namespace detail

namespace detail::avx512f {
void tiled_gemm(const float* a, const float* b, float* c, std::size_t m, std::size_t n, std::size_t k) noexcept;
void tiled_gemm(const double* a, const double* b, double* c, std::size_t m, std::size_t n, std::size_t k) noexcept;
void pack_full_panels(const float* b, std::size_t n, std::size_t k, float* panels, std::size_t first,
                      std::size_t last) noexcept;
void pack_full_panels(const double* b, std::size_t n, std::size_t k, double* panels, std::size_t first,
                      std::size_t last) noexcept;
void tiled_gemm_over_panels(const float* a, const float* b, const float* panels, float* c, std::size_t m,
                            std::size_t n, std::size_t k) noexcept;
void tiled_gemm_over_panels(const double* a, const double* b, const double* panels, double* c, std::size_t m,
                            std::size_t n, std::size_t k) noexcept;
}  // namespace detail::avx512f

namespace detail::avx2_fma {
void tiled_gemm(const float* a, const float* b, float* c, std::size_t m, std::size_t n, std::size_t k) noexcept;
void tiled_gemm(const double* a, const double* b, double* c, std::size_t m, std::size_t n, std::size_t k) noexcept;
void pack_full_panels(const float* b, std::size_t n, std::size_t k, float* panels, std::size_t first,
                      std::size_t last) noexcept;
void pack_full_panels(const double* b, std::size_t n, std::size_t k, double* panels, std::size_t first,
                      std::size_t last) noexcept;
void tiled_gemm_over_panels(const float* a, const float* b, const float* panels, float* c, std::size_t m,
                            std::size_t n, std::size_t k) noexcept;
void tiled_gemm_over_panels(const double* a, const double* b, const double* panels, double* c, std::size_t m,
                            std::size_t n, std::size_t k) noexcept;
}  // namespace detail::avx2_fma

}  // namespace zubrin_simd::dispatch::gemm
