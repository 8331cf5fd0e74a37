#include "kavrel_ops/domain/scalar/fallback.hpp"

#include <cmath>
#include <concepts>
#include <cstddef>

#include "zubrin_simd/dispatch/axpy.hpp"

namespace kavrel_ops::domain::scalar::fallback {

namespace {

namespace ew = zubrin_simd_core::ops::elementwise;
using zubrin_simd::dispatch::axpy::AxpyRowsBatchExtents;
using zubrin_simd::dispatch::axpy::check_axpy_rows_batch_extents;

template <class T>
constexpr std::size_t portable_lanes = sizeof(T) == 8 ? 2 : 4;  // one 128-bit vector

// double: C0 + C1; float: ((C0 + C1) + C2) + C3.
template <class T, std::size_t W>
T sum_lanes(const T (&lanes)[W]) {
    T s = lanes[0];
    for (std::size_t l = 1; l < W; ++l) s = s + lanes[l];
    return s;
}

template <ElementwiseOp Op>
float apply(float x, float y) {
    if constexpr (std::same_as<Op, ew::Add>) return x + y;
    if constexpr (std::same_as<Op, ew::Sub>) return x - y;
    if constexpr (std::same_as<Op, ew::Mul>) return x * y;
    if constexpr (std::same_as<Op, ew::Div>) return x / y;
}

}  // namespace

template <class T>
void axpy_portable(std::span<const T> x, std::span<T> out, T alpha) noexcept {
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = std::fma(x[i], alpha, out[i]);
}

template <class T>
T dot_portable(std::span<const T> a, std::span<const T> b) noexcept {
    constexpr std::size_t w = portable_lanes<T>;
    const std::size_t n = a.size();
    const std::size_t full_end = n - n % w;
    T c[w] = {};
    bool have_c = false;
    std::size_t i = 0;
    if (n >= 4 * w) {
        T acc[4][w];
        for (std::size_t g = 0; g < 4; ++g) {
            for (std::size_t l = 0; l < w; ++l) acc[g][l] = a[g * w + l] * b[g * w + l];
        }
        for (i = 4 * w; i + 4 * w <= n; i += 4 * w) {
            for (std::size_t g = 0; g < 4; ++g) {
                for (std::size_t l = 0; l < w; ++l) {
                    const std::size_t e = i + g * w + l;
                    acc[g][l] = std::fma(a[e], b[e], acc[g][l]);
                }
            }
        }
        for (std::size_t l = 0; l < w; ++l) c[l] = ((acc[0][l] + acc[1][l]) + acc[2][l]) + acc[3][l];
        have_c = true;
    }
    for (; i < full_end; i += w) {
        for (std::size_t l = 0; l < w; ++l) {
            c[l] = have_c ? std::fma(a[i + l], b[i + l], c[l]) : a[i + l] * b[i + l];
        }
        have_c = true;
    }
    const T s = have_c ? sum_lanes(c) : T(0);
    if (i == n) return s;
    T tail[w] = {};
    for (std::size_t l = 0; i + l < n; ++l) tail[l] = std::fma(a[i + l], b[i + l], T(0));
    return s + sum_lanes(tail);
}

template <ElementwiseOp Op>
void elementwise_portable(std::span<const float> a, std::span<const float> b, std::span<float> out) noexcept {
    const std::size_t n = a.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        out[i] = apply<Op>(a[i], b[i]);
        out[i + 1] = apply<Op>(a[i + 1], b[i + 1]);
        out[i + 2] = apply<Op>(a[i + 2], b[i + 2]);
        out[i + 3] = apply<Op>(a[i + 3], b[i + 3]);
    }
    for (; i < n; ++i) out[i] = apply<Op>(a[i], b[i]);
}

template <class T>
void axpy_rows_portable(std::span<const T> coeffs, std::span<const T> x, std::span<T> out, std::uint64_t out_stride,
                        std::uint64_t rows, std::uint64_t cols) noexcept {
    // With one term the batch rule is exactly the row update's, as in the kernels.
    if (check_axpy_rows_batch_extents(coeffs.size(), x.size(), out.size(), out_stride, rows, 1, cols) !=
        AxpyRowsBatchExtents::valid) {
        return;
    }
    for (std::size_t r = 0; r < rows; ++r) {
        const T c = coeffs[r];
        T* row = out.data() + r * out_stride;
        for (std::size_t j = 0; j < cols; ++j) row[j] = std::fma(x[j], c, row[j]);
    }
}

template <class T>
void axpy_rows_batch_portable(std::span<const T> coeffs, std::span<const T> x, std::span<T> out,
                              std::uint64_t out_stride, std::uint64_t rows, std::uint64_t k,
                              std::uint64_t cols) noexcept {
    if (check_axpy_rows_batch_extents(coeffs.size(), x.size(), out.size(), out_stride, rows, k, cols) !=
        AxpyRowsBatchExtents::valid) {
        return;
    }
    for (std::size_t r = 0; r < rows; ++r) {
        T* row = out.data() + r * out_stride;
        for (std::size_t j = 0; j < cols; ++j) {
            T acc = row[j];
            for (std::size_t p = 0; p < k; ++p) acc = std::fma(x[p * cols + j], coeffs[p * rows + r], acc);
            row[j] = acc;
        }
    }
}

template <class T>
void axpy_unfused(std::span<const T> x, std::span<T> out, T alpha) noexcept {
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = x[i] * alpha + out[i];
}

template <class T>
T dot_unfused(std::span<const T> a, std::span<const T> b) noexcept {
    T s = T(0);
    for (std::size_t i = 0; i < a.size(); ++i) s = s + a[i] * b[i];
    return s;
}

template void axpy_portable<float>(std::span<const float>, std::span<float>, float) noexcept;
template void axpy_portable<double>(std::span<const double>, std::span<double>, double) noexcept;
template float dot_portable<float>(std::span<const float>, std::span<const float>) noexcept;
template double dot_portable<double>(std::span<const double>, std::span<const double>) noexcept;
template void elementwise_portable<ew::Add>(std::span<const float>, std::span<const float>, std::span<float>) noexcept;
template void elementwise_portable<ew::Sub>(std::span<const float>, std::span<const float>, std::span<float>) noexcept;
template void elementwise_portable<ew::Mul>(std::span<const float>, std::span<const float>, std::span<float>) noexcept;
template void elementwise_portable<ew::Div>(std::span<const float>, std::span<const float>, std::span<float>) noexcept;
template void axpy_rows_portable<float>(std::span<const float>, std::span<const float>, std::span<float>,
                                        std::uint64_t, std::uint64_t, std::uint64_t) noexcept;
template void axpy_rows_portable<double>(std::span<const double>, std::span<const double>, std::span<double>,
                                         std::uint64_t, std::uint64_t, std::uint64_t) noexcept;
template void axpy_rows_batch_portable<float>(std::span<const float>, std::span<const float>, std::span<float>,
                                              std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t) noexcept;
template void axpy_rows_batch_portable<double>(std::span<const double>, std::span<const double>, std::span<double>,
                                               std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t) noexcept;
template void axpy_unfused<float>(std::span<const float>, std::span<float>, float) noexcept;
template void axpy_unfused<double>(std::span<const double>, std::span<double>, double) noexcept;
template float dot_unfused<float>(std::span<const float>, std::span<const float>) noexcept;
template double dot_unfused<double>(std::span<const double>, std::span<const double>) noexcept;

}  // namespace kavrel_ops::domain::scalar::fallback
