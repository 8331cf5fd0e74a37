#include "zubrin_simd/dispatch/axpy.hpp"

namespace zubrin_simd::dispatch::axpy {

namespace dispatch_axpy {

namespace {
template <class T>
using Kernel = void (*)(const T*, T*, std::size_t, T) noexcept;

// The lengths are compared here rather than through check_lengths_equal: the same verdict, and
// axpy has no output-length rule of its own.
template <class T>
SimdError checked_axpy(std::span<const T> x, std::span<T> out, T alpha, Kernel<T> kernel) noexcept {
    if (x.size() != out.size()) return SimdError::mismatch;
    if (!x.empty()) kernel(x.data(), out.data(), x.size(), alpha);
    return SimdError::success;
}
}  // namespace

SimdError dispatch_axpy_avx512f(std::span<const float> x, std::span<float> out, float alpha) noexcept {
    return checked_axpy<float>(x, out, alpha, detail::avx512f::axpy);
}
SimdError dispatch_axpy_avx512f(std::span<const double> x, std::span<double> out, double alpha) noexcept {
    return checked_axpy<double>(x, out, alpha, detail::avx512f::axpy);
}
SimdError dispatch_axpy_avx2_fma(std::span<const float> x, std::span<float> out, float alpha) noexcept {
    return checked_axpy<float>(x, out, alpha, detail::avx2_fma::axpy);
}
SimdError dispatch_axpy_avx2_fma(std::span<const double> x, std::span<double> out, double alpha) noexcept {
    return checked_axpy<double>(x, out, alpha, detail::avx2_fma::axpy);
}

}  // namespace dispatch_axpy

AxpyRowsBatchExtents check_axpy_rows_batch_extents(std::uint64_t coeffs_len, std::uint64_t x_len,
                                                   std::uint64_t out_len, std::uint64_t out_stride,
                                                   std::uint64_t rows, std::uint64_t k, std::uint64_t cols) noexcept {
    if (rows == 0 || k == 0 || cols == 0) return AxpyRowsBatchExtents::empty;
    std::uint64_t coeffs_needed = 0;
    std::uint64_t x_needed = 0;
    std::uint64_t leading = 0;
    std::uint64_t extent = 0;
    if (__builtin_mul_overflow(rows, k, &coeffs_needed)) return AxpyRowsBatchExtents::invalid;
    if (__builtin_mul_overflow(k, cols, &x_needed)) return AxpyRowsBatchExtents::invalid;
    if (__builtin_mul_overflow(rows - 1, out_stride, &leading)) return AxpyRowsBatchExtents::invalid;
    if (__builtin_add_overflow(leading, cols, &extent)) return AxpyRowsBatchExtents::invalid;
    const bool fits = out_len >= extent && out_stride >= cols && coeffs_len >= coeffs_needed && x_len >= x_needed;
    return fits ? AxpyRowsBatchExtents::valid : AxpyRowsBatchExtents::invalid;
}

}  // namespace zubrin_simd::dispatch::axpy
