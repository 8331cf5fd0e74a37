#include "kavrel_ops/domain/scalar/fallback.hpp"

#include <cmath>
#include <concepts>
#include <cstddef>
#include <limits>
#include <type_traits>

#include "zubrin_simd/dispatch/axpy.hpp"
#include "zubrin_simd_core/tiling/gemm.hpp"
#include "zubrin_simd_core/view/simd_view.hpp"

namespace kavrel_ops::domain::scalar::fallback {

namespace {

namespace ew = zubrin_simd_core::ops::elementwise;
using zubrin_simd::dispatch::axpy::AxpyRowsBatchExtents;
using zubrin_simd::dispatch::axpy::check_axpy_rows_batch_extents;
using zubrin_simd_core::view::simd_view::check_lengths_equal;
using zubrin_simd_core::view::simd_view::check_output_length;

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

// The tile record of the portable matrix product (see zubrin_simd_core/tiling/gemm.hpp): a
// "vector" of Lanes elements whose fused multiply-adds are separate calls of the C library's
// fma/fmaf, each rounded once. Rows × Vectors·Lanes is the register tile of the portable path.
template <class Element, std::size_t Lanes, std::size_t Rows, std::size_t Vectors>
struct PortableTile {
    using T = Element;
    struct V {
        T lane[Lanes];
    };
    using Mask = std::size_t;  // the number of present lanes
    static constexpr std::size_t rows = Rows;
    static constexpr std::size_t vectors = Vectors;
    static constexpr std::size_t lanes = Lanes;

    static V splat(T x) {
        V v;
        for (std::size_t l = 0; l < Lanes; ++l) v.lane[l] = x;
        return v;
    }
    static V load(const T* p) {
        V v;
        for (std::size_t l = 0; l < Lanes; ++l) v.lane[l] = p[l];
        return v;
    }
    static V load_register(const T* p) { return load(p); }
    static void store(T* p, V v) {
        for (std::size_t l = 0; l < Lanes; ++l) p[l] = v.lane[l];
    }
    static V fma(V x, V y, V acc) {
        for (std::size_t l = 0; l < Lanes; ++l) acc.lane[l] = std::fma(x.lane[l], y.lane[l], acc.lane[l]);
        return acc;
    }
    static Mask tail_mask(std::size_t w) { return w; }
    // Absent lanes are not read; they hold zero and are never stored.
    static V load_tail(Mask present, const T* p) {
        V v = splat(T(0));
        for (std::size_t l = 0; l < present; ++l) v.lane[l] = p[l];
        return v;
    }
    static void store_tail(T* p, Mask present, V v) {
        for (std::size_t l = 0; l < present; ++l) p[l] = v.lane[l];
    }
    static void prefetch(const T*) {}
};

// float64: 3 × 6 in 18 accumulators, strips of 2; float32: 3 × 12 in 36, strips of 4.
template <class T>
using PortableGemmTile =
    std::conditional_t<sizeof(T) == 8, PortableTile<double, 2, 3, 3>, PortableTile<float, 4, 3, 3>>;

}  // namespace

template <class T>
SimdError axpy_portable(std::span<const T> x, std::span<T> out, T alpha) noexcept {
    if (x.size() != out.size()) return SimdError::mismatch;
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = std::fma(x[i], alpha, out[i]);
    return SimdError::success;
}

template <class T>
DotResult<T> dot_portable(std::span<const T> a, std::span<const T> b) noexcept {
    if (const SimdError status = check_lengths_equal(a.size(), b.size()); status != SimdError::success) {
        return std::unexpected(status);
    }
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
SimdError elementwise_portable(std::span<const float> a, std::span<const float> b, std::span<float> out) noexcept {
    if (const SimdError status = check_lengths_equal(a.size(), b.size()); status != SimdError::success) {
        return status;
    }
    if (const SimdError status = check_output_length(a.size(), out.size()); status != SimdError::success) {
        return status;
    }
    const std::size_t n = a.size();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        out[i] = apply<Op>(a[i], b[i]);
        out[i + 1] = apply<Op>(a[i + 1], b[i + 1]);
        out[i + 2] = apply<Op>(a[i + 2], b[i + 2]);
        out[i + 3] = apply<Op>(a[i + 3], b[i + 3]);
    }
    for (; i < n; ++i) out[i] = apply<Op>(a[i], b[i]);
    return SimdError::success;
}

template <class T>
SimdError axpy_rows_portable(std::span<const T> coeffs, std::span<const T> x, std::span<T> out,
                             std::uint64_t out_stride, std::uint64_t rows, std::uint64_t cols) noexcept {
    // With one term the batch rule is exactly the row update's, as in the kernels.
    switch (check_axpy_rows_batch_extents(coeffs.size(), x.size(), out.size(), out_stride, rows, 1, cols)) {
        case AxpyRowsBatchExtents::empty: return SimdError::success;
        case AxpyRowsBatchExtents::invalid: return SimdError::mismatch;
        case AxpyRowsBatchExtents::valid: break;
    }
    for (std::size_t r = 0; r < rows; ++r) {
        const T c = coeffs[r];
        T* row = out.data() + r * out_stride;
        for (std::size_t j = 0; j < cols; ++j) row[j] = std::fma(x[j], c, row[j]);
    }
    return SimdError::success;
}

template <class T>
SimdError axpy_rows_batch_portable(std::span<const T> coeffs, std::span<const T> x, std::span<T> out,
                                   std::uint64_t out_stride, std::uint64_t rows, std::uint64_t k,
                                   std::uint64_t cols) noexcept {
    switch (check_axpy_rows_batch_extents(coeffs.size(), x.size(), out.size(), out_stride, rows, k, cols)) {
        case AxpyRowsBatchExtents::empty: return SimdError::success;
        case AxpyRowsBatchExtents::invalid: return SimdError::mismatch;
        case AxpyRowsBatchExtents::valid: break;
    }
    for (std::size_t r = 0; r < rows; ++r) {
        T* row = out.data() + r * out_stride;
        for (std::size_t j = 0; j < cols; ++j) {
            T acc = row[j];
            for (std::size_t p = 0; p < k; ++p) acc = std::fma(x[p * cols + j], coeffs[p * rows + r], acc);
            row[j] = acc;
        }
    }
    return SimdError::success;
}

float sum_portable(std::span<const float> x) noexcept {
    const std::size_t n = x.size();
    if (n == 0) return 0.0f;
    float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    std::size_t i = 0;
    if (n >= 16) {
        float a[4][4];
        for (std::size_t g = 0; g < 4; ++g) {
            for (std::size_t l = 0; l < 4; ++l) a[g][l] = x[4 * g + l] + 0.0f;
        }
        for (i = 16; i + 16 <= n; i += 16) {
            for (std::size_t g = 0; g < 4; ++g) {
                for (std::size_t l = 0; l < 4; ++l) a[g][l] = a[g][l] + x[i + 4 * g + l];
            }
        }
        for (std::size_t l = 0; l < 4; ++l) acc[l] = (a[0][l] + a[1][l]) + (a[2][l] + a[3][l]);
    }
    for (; i + 4 <= n; i += 4) {
        for (std::size_t l = 0; l < 4; ++l) acc[l] = acc[l] + x[i + l];
    }
    const float h = acc[3] + (acc[2] + (acc[1] + acc[0]));
    if (i == n) return h;
    float y[3] = {0.0f, 0.0f, 0.0f};
    for (std::size_t l = 0; i + l < n; ++l) y[l] = x[i + l];
    return h + (((y[0] + y[1]) + y[2]) + 0.0f);
}

double abs_sum_portable(std::span<const double> x) noexcept {
    const std::size_t n = x.size();
    double lane0 = 0.0;
    double lane1 = 0.0;
    std::size_t i = 0;
    if (n >= 8) {
        double p[8];
        for (std::size_t t = 0; t < 8; ++t) p[t] = std::fabs(x[t]);
        for (i = 8; i + 8 <= n; i += 8) {
            for (std::size_t t = 0; t < 8; ++t) p[t] = p[t] + std::fabs(x[i + t]);
        }
        lane0 = (p[0] + p[2]) + (p[4] + p[6]);
        lane1 = (p[1] + p[3]) + (p[5] + p[7]);
    }
    for (; i + 2 <= n; i += 2) {
        lane0 = lane0 + std::fabs(x[i]);
        lane1 = lane1 + std::fabs(x[i + 1]);
    }
    const double result = lane1 + lane0;
    return i < n ? result + std::fabs(x[i]) : result;
}

double abs_max_portable(std::span<const double> x) noexcept {
    double best = 0.0;
    for (const double v : x) {
        if (std::isnan(v)) return std::numeric_limits<double>::quiet_NaN();
        if (std::fabs(v) > best) best = std::fabs(v);
    }
    return best;
}

template <class T>
SimdError tiled_gemm_portable(std::span<const T> a, std::span<const T> b, std::span<T> c, std::uint64_t m,
                              std::uint64_t n, std::uint64_t k) noexcept {
    namespace gemm = zubrin_simd_core::tiling::gemm;
    const SimdError status = gemm::check_tiled_gemm_dimensions(a.size(), b.size(), c.size(), m, n, k);
    if (status != SimdError::success) return status;
    gemm::tiled_gemm_nest<PortableGemmTile<T>>(a.data(), b.data(), c.data(), m, n, k);
    return SimdError::success;
}

template <class T>
SimdError pack_full_panels_portable(std::span<const T> b, std::uint64_t n, std::uint64_t k, std::span<T> panels,
                                    std::uint64_t first, std::uint64_t last) noexcept {
    namespace gemm = zubrin_simd_core::tiling::gemm;
    using Tile = PortableGemmTile<T>;
    static_assert(Tile::vectors * Tile::lanes == portable_panel_width<T>);
    constexpr std::uint64_t width = portable_panel_width<T>;
    std::uint64_t b_needed = 0, needed = 0;
    if (__builtin_mul_overflow(k, n, &b_needed) || b.size() < b_needed) return SimdError::mismatch;
    if (__builtin_mul_overflow(n / width * width, k, &needed) || panels.size() < needed) return SimdError::mismatch;
    if (first > last || last > n / width) return SimdError::mismatch;
    gemm::pack_full_panels<Tile>(b.data(), n, k, panels.data(), first, last);
    return SimdError::success;
}

template <class T>
SimdError tiled_gemm_panels_portable(std::span<const T> a, std::span<const T> b, std::span<const T> panels,
                                     std::span<T> c, std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept {
    namespace gemm = zubrin_simd_core::tiling::gemm;
    constexpr std::uint64_t width = portable_panel_width<T>;
    if (gemm::check_tiled_gemm_dimensions(a.size(), b.size(), c.size(), m, n, k) != SimdError::success)
        return SimdError::mismatch;
    if (m < gemm::tiled_min_rows || n < gemm::tiled_min_cols || k < gemm::tiled_min_depth) return SimdError::mismatch;
    std::uint64_t needed = 0;
    if (__builtin_mul_overflow(n / width * width, k, &needed) || panels.size() < needed) return SimdError::mismatch;
    gemm::tiled_gemm_over_panels<PortableGemmTile<T>>(a.data(), b.data(), panels.data(), c.data(), m, n, k);
    return SimdError::success;
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

template SimdError axpy_portable<float>(std::span<const float>, std::span<float>, float) noexcept;
template SimdError axpy_portable<double>(std::span<const double>, std::span<double>, double) noexcept;
template DotResult<float> dot_portable<float>(std::span<const float>, std::span<const float>) noexcept;
template DotResult<double> dot_portable<double>(std::span<const double>, std::span<const double>) noexcept;
template SimdError elementwise_portable<ew::Add>(std::span<const float>, std::span<const float>,
                                                 std::span<float>) noexcept;
template SimdError elementwise_portable<ew::Sub>(std::span<const float>, std::span<const float>,
                                                 std::span<float>) noexcept;
template SimdError elementwise_portable<ew::Mul>(std::span<const float>, std::span<const float>,
                                                 std::span<float>) noexcept;
template SimdError elementwise_portable<ew::Div>(std::span<const float>, std::span<const float>,
                                                 std::span<float>) noexcept;
template SimdError axpy_rows_portable<float>(std::span<const float>, std::span<const float>, std::span<float>,
                                             std::uint64_t, std::uint64_t, std::uint64_t) noexcept;
template SimdError axpy_rows_portable<double>(std::span<const double>, std::span<const double>, std::span<double>,
                                              std::uint64_t, std::uint64_t, std::uint64_t) noexcept;
template SimdError axpy_rows_batch_portable<float>(std::span<const float>, std::span<const float>, std::span<float>,
                                                   std::uint64_t, std::uint64_t, std::uint64_t,
                                                   std::uint64_t) noexcept;
template SimdError axpy_rows_batch_portable<double>(std::span<const double>, std::span<const double>,
                                                    std::span<double>, std::uint64_t, std::uint64_t, std::uint64_t,
                                                    std::uint64_t) noexcept;
template SimdError tiled_gemm_portable<float>(std::span<const float>, std::span<const float>, std::span<float>,
                                              std::uint64_t, std::uint64_t, std::uint64_t) noexcept;
template SimdError tiled_gemm_portable<double>(std::span<const double>, std::span<const double>, std::span<double>,
                                               std::uint64_t, std::uint64_t, std::uint64_t) noexcept;
template SimdError pack_full_panels_portable<float>(std::span<const float>, std::uint64_t, std::uint64_t,
                                                    std::span<float>, std::uint64_t, std::uint64_t) noexcept;
template SimdError pack_full_panels_portable<double>(std::span<const double>, std::uint64_t, std::uint64_t,
                                                     std::span<double>, std::uint64_t, std::uint64_t) noexcept;
template SimdError tiled_gemm_panels_portable<float>(std::span<const float>, std::span<const float>,
                                                     std::span<const float>, std::span<float>, std::uint64_t,
                                                     std::uint64_t, std::uint64_t) noexcept;
template SimdError tiled_gemm_panels_portable<double>(std::span<const double>, std::span<const double>,
                                                      std::span<const double>, std::span<double>, std::uint64_t,
                                                      std::uint64_t, std::uint64_t) noexcept;
template void axpy_unfused<float>(std::span<const float>, std::span<float>, float) noexcept;
template void axpy_unfused<double>(std::span<const double>, std::span<double>, double) noexcept;
template float dot_unfused<float>(std::span<const float>, std::span<const float>) noexcept;
template double dot_unfused<double>(std::span<const double>, std::span<const double>) noexcept;

}  // namespace kavrel_ops::domain::scalar::fallback
