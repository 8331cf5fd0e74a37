// The register-tiled matrix product C += A·B over dense row-major float32 and float64 matrices
// (A m×k, B k×n, C m×n; row strides k, n and n), in an AVX-512F and an AVX2+FMA variant. Every
// element of C receives c ← fma(a(i, p), b(p, j), c) for p = 0 … k − 1 in order, so both variants
// and the portable loops give identical bits. B is packed into aligned panels from 512 KiB on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "zubrin_simd_core/error.hpp"

namespace zubrin_simd::dispatch::gemm {

using zubrin_simd_core::error::SimdError;

namespace dispatch_tiled_gemm {

// C += A·B. mismatch (nothing written, no buffer taken) when m·k, k·n or m·n overflows or a, b or
// c is shorter than m·k, k·n or m·n (a short c is no output_too_short); elements past those
// extents are never touched. m, n or k zero: success with C unchanged.
// Requires: c does not overlap a or b (a and b may overlap); the CPU has AVX-512F.
// Register tiles: float64 3 rows × 24 columns, float32 6 × 64.
[[nodiscard]] SimdError dispatch_tiled_gemm_avx512f(std::span<const float> a, std::span<const float> b,
                                                    std::span<float> c, std::uint64_t m, std::uint64_t n,
                                                    std::uint64_t k) noexcept;
[[nodiscard]] SimdError dispatch_tiled_gemm_avx512f(std::span<const double> a, std::span<const double> b,
                                                    std::span<double> c, std::uint64_t m, std::uint64_t n,
                                                    std::uint64_t k) noexcept;

// The same with 256-bit vectors. Requires: the CPU has AVX2 and FMA.
// Register tiles: float64 3 rows × 12 columns, float32 3 × 24.
[[nodiscard]] SimdError dispatch_tiled_gemm_avx2_fma(std::span<const float> a, std::span<const float> b,
                                                     std::span<float> c, std::uint64_t m, std::uint64_t n,
                                                     std::uint64_t k) noexcept;
[[nodiscard]] SimdError dispatch_tiled_gemm_avx2_fma(std::span<const double> a, std::span<const double> b,
                                                     std::span<double> c, std::uint64_t m, std::uint64_t n,
                                                     std::uint64_t k) noexcept;

}  // namespace dispatch_tiled_gemm

// Implementation details: the loop nest instantiated in each instruction-set unit, run on
// checked operands.

namespace detail::avx512f {
void tiled_gemm(const float* a, const float* b, float* c, std::size_t m, std::size_t n, std::size_t k) noexcept;
void tiled_gemm(const double* a, const double* b, double* c, std::size_t m, std::size_t n, std::size_t k) noexcept;
}  // namespace detail::avx512f

namespace detail::avx2_fma {
void tiled_gemm(const float* a, const float* b, float* c, std::size_t m, std::size_t n, std::size_t k) noexcept;
void tiled_gemm(const double* a, const double* b, double* c, std::size_t m, std::size_t n, std::size_t k) noexcept;
}  // namespace detail::avx2_fma

}  // namespace zubrin_simd::dispatch::gemm
