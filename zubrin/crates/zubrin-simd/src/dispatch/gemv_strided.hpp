// The strided float64 matrix-vector product y += A·x, row i of A at a[i·lda], in an AVX-512F and
// an AVX2+FMA variant. Each row accumulates in the lanes of one vector and is halved to a number
// (see isa/matrix_vector.hpp), so each variant repeats its bits exactly; the two may differ in the
// last bits because their lane counts differ. A variant does not test the CPU: the caller does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "zubrin_simd_core/error.hpp"

namespace zubrin_simd::dispatch::gemv_strided {

using zubrin_simd_core::error::SimdError;

namespace dispatch_gemv_strided {

// y[i] = s_i + y[i] for i < rows, s_i the row's sum of A(i, j)·x[j] over j < cols in this
// variant's lane order; y is added to, never cleared (cols = 0 adds +0). Checks with
// check_gemv_dimensions(a.size(), x.size(), y.size(), rows, cols, lda); a failure returns mismatch
// and writes nothing. Elements of a row between cols and lda are never read.
// Requires: y does not overlap a or x; the CPU has AVX-512F.
[[nodiscard]] SimdError dispatch_gemv_strided_avx512f(std::span<const double> a, std::span<const double> x,
                                                      std::span<double> y, std::uint64_t rows, std::uint64_t cols,
                                                      std::uint64_t lda) noexcept;

// The same with 256-bit vectors. Requires: the CPU has AVX2 and FMA.
[[nodiscard]] SimdError dispatch_gemv_strided_avx2_fma(std::span<const double> a, std::span<const double> x,
                                                       std::span<double> y, std::uint64_t rows, std::uint64_t cols,
                                                       std::uint64_t lda) noexcept;

}  // namespace dispatch_gemv_strided

// Implementation details: the inner loops, one per instruction-set unit, on checked operands.

namespace detail::avx512f {
void gemv(const double* a, const double* x, double* y, std::size_t rows, std::size_t cols,
          std::size_t lda) noexcept;
}  // namespace detail::avx512f

namespace detail::avx2_fma {
void gemv(const double* a, const double* x, double* y, std::size_t rows, std::size_t cols,
          std::size_t lda) noexcept;
}  // namespace detail::avx2_fma

}  // namespace zubrin_simd::dispatch::gemv_strided
