#include "zubrin_simd/dispatch/axpy.hpp"

#include <optional>

#include "kavrel/domain/checked/arithmetic.hpp"

namespace zubrin_simd::dispatch::axpy {

AxpyRowsBatchExtents check_axpy_rows_batch_extents(std::uint64_t coeffs_len, std::uint64_t x_len,
                                                   std::uint64_t out_len, std::uint64_t out_stride,
                                                   std::uint64_t rows, std::uint64_t k, std::uint64_t cols) noexcept {
    if (rows == 0 || k == 0 || cols == 0) return AxpyRowsBatchExtents::empty;
    namespace checked = kavrel::domain::checked;
    const auto coeffs_needed = checked::mul(rows, k);
    if (!coeffs_needed) return AxpyRowsBatchExtents::invalid;
    const auto x_needed = checked::mul(k, cols);
    if (!x_needed) return AxpyRowsBatchExtents::invalid;
    const auto extent = checked::mul_add(rows - 1, out_stride, cols);
    if (!extent) return AxpyRowsBatchExtents::invalid;
    const bool fits = out_len >= *extent && out_stride >= cols && coeffs_len >= *coeffs_needed && x_len >= *x_needed;
    return fits ? AxpyRowsBatchExtents::valid : AxpyRowsBatchExtents::invalid;
}

namespace {
// The status of a row update that must not run its loop: success for an empty block, mismatch
// for an invalid one; none for valid extents.
std::optional<SimdError> settled_without_loop(AxpyRowsBatchExtents verdict) noexcept {
    switch (verdict) {
        case AxpyRowsBatchExtents::empty: return SimdError::success;
        case AxpyRowsBatchExtents::invalid: return SimdError::mismatch;
        case AxpyRowsBatchExtents::valid: break;
    }
    return std::nullopt;
}
}  // namespace

// The lengths are compared here rather than through check_lengths_equal: the same verdict, and
// axpy has no output-length rule of its own.
template <class T>
SimdError detail::checked_axpy(std::span<const T> x, std::span<T> out, T alpha, AxpyLoop<T> loop) noexcept {
    if (x.size() != out.size()) return SimdError::mismatch;
    if (!x.empty()) loop(x.data(), out.data(), x.size(), alpha);
    return SimdError::success;
}

template <class T>
SimdError detail::checked_axpy_rows(std::span<const T> coeffs, std::span<const T> x, std::span<T> out,
                                    std::uint64_t out_stride, std::uint64_t rows, std::uint64_t cols,
                                    AxpyRowsLoop<T> loop) noexcept {
    // The batch rule with one term is exactly the row update's own: rows or cols zero first,
    // then the overflowing extent, out_stride < cols and the three lengths.
    if (const auto settled = settled_without_loop(
            check_axpy_rows_batch_extents(coeffs.size(), x.size(), out.size(), out_stride, rows, 1, cols))) {
        return *settled;
    }
    loop(coeffs.data(), x.data(), out.data(), out_stride, rows, cols);
    return SimdError::success;
}

template <class T>
SimdError detail::checked_axpy_rows_batch(std::span<const T> coeffs, std::span<const T> x, std::span<T> out,
                                          std::uint64_t out_stride, std::uint64_t rows, std::uint64_t k,
                                          std::uint64_t cols, AxpyRowsBatchLoop<T> loop) noexcept {
    if (const auto settled = settled_without_loop(
            check_axpy_rows_batch_extents(coeffs.size(), x.size(), out.size(), out_stride, rows, k, cols))) {
        return *settled;
    }
    loop(coeffs.data(), x.data(), out.data(), out_stride, rows, k, cols);
    return SimdError::success;
}

template SimdError detail::checked_axpy<float>(std::span<const float>, std::span<float>, float,
                                               AxpyLoop<float>) noexcept;
template SimdError detail::checked_axpy<double>(std::span<const double>, std::span<double>, double,
                                                AxpyLoop<double>) noexcept;
template SimdError detail::checked_axpy_rows<float>(std::span<const float>, std::span<const float>, std::span<float>,
                                                    std::uint64_t, std::uint64_t, std::uint64_t,
                                                    AxpyRowsLoop<float>) noexcept;
template SimdError detail::checked_axpy_rows<double>(std::span<const double>, std::span<const double>,
                                                     std::span<double>, std::uint64_t, std::uint64_t, std::uint64_t,
                                                     AxpyRowsLoop<double>) noexcept;
template SimdError detail::checked_axpy_rows_batch<float>(std::span<const float>, std::span<const float>,
                                                          std::span<float>, std::uint64_t, std::uint64_t,
                                                          std::uint64_t, std::uint64_t,
                                                          AxpyRowsBatchLoop<float>) noexcept;
template SimdError detail::checked_axpy_rows_batch<double>(std::span<const double>, std::span<const double>,
                                                           std::span<double>, std::uint64_t, std::uint64_t,
                                                           std::uint64_t, std::uint64_t,
                                                           AxpyRowsBatchLoop<double>) noexcept;

namespace dispatch_axpy {

SimdError dispatch_axpy_avx512f(std::span<const float> x, std::span<float> out, float alpha) noexcept {
    return detail::checked_axpy(x, out, alpha, detail::avx512f::axpy);
}
SimdError dispatch_axpy_avx512f(std::span<const double> x, std::span<double> out, double alpha) noexcept {
    return detail::checked_axpy(x, out, alpha, detail::avx512f::axpy);
}
SimdError dispatch_axpy_avx2_fma(std::span<const float> x, std::span<float> out, float alpha) noexcept {
    return detail::checked_axpy(x, out, alpha, detail::avx2_fma::axpy);
}
SimdError dispatch_axpy_avx2_fma(std::span<const double> x, std::span<double> out, double alpha) noexcept {
    return detail::checked_axpy(x, out, alpha, detail::avx2_fma::axpy);
}

}  // namespace dispatch_axpy

namespace dispatch_axpy_rows {

SimdError dispatch_axpy_rows_avx512f(std::span<const float> coeffs, std::span<const float> x, std::span<float> out,
                                     std::uint64_t out_stride, std::uint64_t rows, std::uint64_t cols) noexcept {
    return detail::checked_axpy_rows(coeffs, x, out, out_stride, rows, cols, detail::avx512f::axpy_rows);
}
SimdError dispatch_axpy_rows_avx512f(std::span<const double> coeffs, std::span<const double> x,
                                     std::span<double> out, std::uint64_t out_stride, std::uint64_t rows,
                                     std::uint64_t cols) noexcept {
    return detail::checked_axpy_rows(coeffs, x, out, out_stride, rows, cols, detail::avx512f::axpy_rows);
}
SimdError dispatch_axpy_rows_avx2_fma(std::span<const float> coeffs, std::span<const float> x, std::span<float> out,
                                      std::uint64_t out_stride, std::uint64_t rows, std::uint64_t cols) noexcept {
    return detail::checked_axpy_rows(coeffs, x, out, out_stride, rows, cols, detail::avx2_fma::axpy_rows);
}
SimdError dispatch_axpy_rows_avx2_fma(std::span<const double> coeffs, std::span<const double> x,
                                      std::span<double> out, std::uint64_t out_stride, std::uint64_t rows,
                                      std::uint64_t cols) noexcept {
    return detail::checked_axpy_rows(coeffs, x, out, out_stride, rows, cols, detail::avx2_fma::axpy_rows);
}

}  // namespace dispatch_axpy_rows

namespace dispatch_axpy_rows_batch {

SimdError dispatch_axpy_rows_batch_avx512f(std::span<const float> coeffs, std::span<const float> x,
                                           std::span<float> out, std::uint64_t out_stride, std::uint64_t rows,
                                           std::uint64_t k, std::uint64_t cols) noexcept {
    return detail::checked_axpy_rows_batch(coeffs, x, out, out_stride, rows, k, cols,
                                           detail::avx512f::axpy_rows_batch);
}
SimdError dispatch_axpy_rows_batch_avx512f(std::span<const double> coeffs, std::span<const double> x,
                                           std::span<double> out, std::uint64_t out_stride, std::uint64_t rows,
                                           std::uint64_t k, std::uint64_t cols) noexcept {
    return detail::checked_axpy_rows_batch(coeffs, x, out, out_stride, rows, k, cols,
                                           detail::avx512f::axpy_rows_batch);
}
SimdError dispatch_axpy_rows_batch_avx2_fma(std::span<const float> coeffs, std::span<const float> x,
                                            std::span<float> out, std::uint64_t out_stride, std::uint64_t rows,
                                            std::uint64_t k, std::uint64_t cols) noexcept {
    return detail::checked_axpy_rows_batch(coeffs, x, out, out_stride, rows, k, cols,
                                           detail::avx2_fma::axpy_rows_batch);
}
SimdError dispatch_axpy_rows_batch_avx2_fma(std::span<const double> coeffs, std::span<const double> x,
                                            std::span<double> out, std::uint64_t out_stride, std::uint64_t rows,
                                            std::uint64_t k, std::uint64_t cols) noexcept {
    return detail::checked_axpy_rows_batch(coeffs, x, out, out_stride, rows, k, cols,
                                           detail::avx2_fma::axpy_rows_batch);
}

}  // namespace dispatch_axpy_rows_batch

}  // namespace zubrin_simd::dispatch::axpy
