#include "zubrin_simd/dispatch/isa/lanes_avx512f.hpp"
#include "zubrin_simd/dispatch/isa/row_axpy.hpp"
#include "zubrin_simd/dispatch/isa/streaming.hpp"
#include "zubrin_simd/dispatch/axpy.hpp"

namespace zubrin_simd::dispatch::axpy::detail::avx512f {

void axpy(const float* x, float* out, std::size_t n, float alpha) noexcept {
    isa::axpy<isa::Lanes<float>>(x, out, n, alpha);
}
void axpy(const double* x, double* out, std::size_t n, double alpha) noexcept {
    isa::axpy<isa::Lanes<double>>(x, out, n, alpha);
}
void axpy_unfused(const float* x, float* out, std::size_t n, float alpha) noexcept {
    isa::axpy_unfused<isa::Lanes<float>>(x, out, n, alpha);
}
void axpy_unfused(const double* x, double* out, std::size_t n, double alpha) noexcept {
    isa::axpy_unfused<isa::Lanes<double>>(x, out, n, alpha);
}

void axpy_rows(const float* coeffs, const float* x, float* out, std::size_t out_stride, std::size_t rows,
               std::size_t cols) noexcept {
    isa::axpy_rows<isa::Lanes<float>>(coeffs, x, out, out_stride, rows, cols);
}
void axpy_rows(const double* coeffs, const double* x, double* out, std::size_t out_stride, std::size_t rows,
               std::size_t cols) noexcept {
    isa::axpy_rows<isa::Lanes<double>>(coeffs, x, out, out_stride, rows, cols);
}

void axpy_rows_batch(const float* coeffs, const float* x, float* out, std::size_t out_stride, std::size_t rows,
                     std::size_t k, std::size_t cols) noexcept {
    isa::axpy_rows_batch<isa::Lanes<float>>(coeffs, x, out, out_stride, rows, k, cols);
}
void axpy_rows_batch(const double* coeffs, const double* x, double* out, std::size_t out_stride, std::size_t rows,
                     std::size_t k, std::size_t cols) noexcept {
    isa::axpy_rows_batch<isa::Lanes<double>>(coeffs, x, out, out_stride, rows, k, cols);
}

}  // namespace zubrin_simd::dispatch::axpy::detail::avx512f
