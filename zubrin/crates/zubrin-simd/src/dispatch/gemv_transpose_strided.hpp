// The strided float64 transposed matrix-vector product y += Aᵀ·x, row i of A at a[i·lda], in an
// AVX-512F and an AVX2+FMA variant, without forming Aᵀ: rows of A stream at their own stride and
// one element of x is broadcast per row. Every y[j] receives the same fused steps in the same
// order in both variants and in the portable product, so all paths give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "zubrin_simd_core/error.hpp"

namespace zubrin_simd::dispatch::gemv_transpose_strided {

using zubrin_simd_core::error::SimdError;

namespace dispatch_gemv_transpose_strided {

// y[j] = fma(A(i, j), x[i], y[j]) for i = 0 .. rows − 1 in order, for every j < cols; y is added
// to, never cleared, and rows = 0 leaves it as it was. Checks with check_gemv_t_dimensions(
// a.size(), x.size(), y.size(), rows, cols, lda); a failure returns mismatch and writes nothing.
// Elements of a row between cols and lda are never read.
// Requires: y does not overlap a or x; the CPU has AVX-512F.
[[nodiscard]] SimdError dispatch_gemv_transpose_strided_avx512f(std::span<const double> a,
                                                                std::span<const double> x, std::span<double> y,
                                                                std::uint64_t rows, std::uint64_t cols,
                                                                std::uint64_t lda) noexcept;

// The same with 256-bit vectors. Requires: the CPU has AVX2 and FMA.
[[nodiscard]] SimdError dispatch_gemv_transpose_strided_avx2_fma(std::span<const double> a,
                                                                 std::span<const double> x, std::span<double> y,
                                                                 std::uint64_t rows, std::uint64_t cols,
                                                                 std::uint64_t lda) noexcept;

}  // namespace dispatch_gemv_transpose_strided

// Implementation details: the inner loops, one per instruction-set unit, on checked operands.

namespace detail::avx512f {
void gemv_transpose(const double* a, const double* x, double* y, std::size_t rows, std::size_t cols,
                    std::size_t lda) noexcept;
}  // namespace detail::avx512f

namespace detail::avx2_fma {
void gemv_transpose(const double* a, const double* x, double* y, std::size_t rows, std::size_t cols,
                    std::size_t lda) noexcept;
}  // namespace detail::avx2_fma

}  // namespace zubrin_simd::dispatch::gemv_transpose_strided
