#include "kavrel_ops/domain/scalar/dispatch.hpp"

#include "kavrel_ops/domain/scalar/cpu_features.hpp"
#include "kavrel_ops/domain/scalar/fallback.hpp"
#include "zubrin_simd/dispatch/abs_reduce.hpp"
#include "zubrin_simd/dispatch/axpy.hpp"
#include "zubrin_simd/dispatch/binary.hpp"
#include "zubrin_simd/dispatch/gemm.hpp"
#include "zubrin_simd/dispatch/gemv_strided.hpp"
#include "zubrin_simd/dispatch/gemv_transpose_strided.hpp"
#include "zubrin_simd/dispatch/sum.hpp"
#include "zubrin_simd_core/tiling/gemv.hpp"
#include "zubrin_simd_core/tiling/gemv_transpose.hpp"

namespace kavrel_ops::domain::scalar::dispatch {

namespace {
namespace ew = zubrin_simd_core::ops::elementwise;
namespace k_dot = zubrin_simd::dispatch::dot::dispatch_dot;
namespace k_axpy = zubrin_simd::dispatch::axpy::dispatch_axpy;
namespace k_rows = zubrin_simd::dispatch::axpy::dispatch_axpy_rows;
namespace k_batch = zubrin_simd::dispatch::axpy::dispatch_axpy_rows_batch;
namespace k_binary = zubrin_simd::dispatch::binary::dispatch_elementwise_binary;
namespace k_sum = zubrin_simd::dispatch::sum::dispatch_sum;
namespace k_abs_sum = zubrin_simd::dispatch::abs_reduce::dispatch_abs_sum;
namespace k_abs_max = zubrin_simd::dispatch::abs_reduce::dispatch_abs_max;
namespace k_gemv = zubrin_simd::dispatch::gemv_strided::dispatch_gemv_strided;
namespace k_gemv_t = zubrin_simd::dispatch::gemv_transpose_strided::dispatch_gemv_transpose_strided;
namespace k_gemm = zubrin_simd::dispatch::gemm::dispatch_tiled_gemm;
using cpu_features::for_path;
using cpu_features::kernel_path;
using cpu_features::KernelPath;
}  // namespace

// Every selector is for_path over its family's three members: the variants read the CPU-feature
// word now, the shared-panel product takes the path its panels were packed for.

template <class T>
DotResult<T> dispatch_dot(std::span<const T> a, std::span<const T> b) noexcept {
    return for_path(kernel_path(), k_dot::dispatch_dot_avx512f, k_dot::dispatch_dot_avx2_fma,
                    fallback::dot_portable<T>)(a, b);
}

template <class T>
SimdError dispatch_axpy(std::span<const T> x, std::span<T> out, T alpha) noexcept {
    return for_path(kernel_path(), k_axpy::dispatch_axpy_avx512f, k_axpy::dispatch_axpy_avx2_fma,
                    fallback::axpy_portable<T>)(x, out, alpha);
}

template <class T>
SimdError dispatch_axpy_rows(std::span<const T> coeffs, std::span<const T> x, std::span<T> out,
                             std::uint64_t out_stride, std::uint64_t rows, std::uint64_t cols) noexcept {
    return for_path(kernel_path(), k_rows::dispatch_axpy_rows_avx512f, k_rows::dispatch_axpy_rows_avx2_fma,
                    fallback::axpy_rows_portable<T>)(coeffs, x, out, out_stride, rows, cols);
}

template <class T>
SimdError dispatch_axpy_rows_batch(std::span<const T> coeffs, std::span<const T> x, std::span<T> out,
                                   std::uint64_t out_stride, std::uint64_t rows, std::uint64_t k,
                                   std::uint64_t cols) noexcept {
    return for_path(kernel_path(), k_batch::dispatch_axpy_rows_batch_avx512f,
                    k_batch::dispatch_axpy_rows_batch_avx2_fma,
                    fallback::axpy_rows_batch_portable<T>)(coeffs, x, out, out_stride, rows, k, cols);
}

template <ElementwiseOp Op>
SimdError dispatch_elementwise_binary(std::span<const float> a, std::span<const float> b,
                                      std::span<float> out) noexcept {
    return for_path(kernel_path(), k_binary::dispatch_elementwise_binary_avx512f<Op>,
                    k_binary::dispatch_elementwise_binary_avx2_fma<Op>, fallback::elementwise_portable<Op>)(a, b, out);
}

float dispatch_sum(std::span<const float> x) noexcept {
    return for_path(kernel_path(), k_sum::dispatch_sum_avx512f, k_sum::dispatch_sum_avx2_fma,
                    fallback::sum_portable)(x);
}

double dispatch_abs_sum(std::span<const double> x) noexcept {
    return for_path(kernel_path(), k_abs_sum::dispatch_abs_sum_avx512f, k_abs_sum::dispatch_abs_sum_avx2_fma,
                    fallback::abs_sum_portable)(x);
}

double dispatch_abs_max(std::span<const double> x) noexcept {
    return for_path(kernel_path(), k_abs_max::dispatch_abs_max_avx512f, k_abs_max::dispatch_abs_max_avx2_fma,
                    fallback::abs_max_portable)(x);
}

SimdError dispatch_gemv_strided(std::span<const double> a, std::span<const double> x, std::span<double> y,
                                std::uint64_t rows, std::uint64_t cols, std::uint64_t lda) noexcept {
    return for_path(kernel_path(), k_gemv::dispatch_gemv_strided_avx512f, k_gemv::dispatch_gemv_strided_avx2_fma,
                    zubrin_simd_core::tiling::gemv::gemv_portable)(a, x, y, rows, cols, lda);
}

SimdError dispatch_gemv_transpose_strided(std::span<const double> a, std::span<const double> x, std::span<double> y,
                                          std::uint64_t rows, std::uint64_t cols, std::uint64_t lda) noexcept {
    return for_path(kernel_path(), k_gemv_t::dispatch_gemv_transpose_strided_avx512f,
                    k_gemv_t::dispatch_gemv_transpose_strided_avx2_fma,
                    zubrin_simd_core::tiling::gemv_transpose::gemv_t_portable)(a, x, y, rows, cols, lda);
}

template <class T>
SimdError dispatch_tiled_gemm(std::span<const T> a, std::span<const T> b, std::span<T> c, std::uint64_t m,
                              std::uint64_t n, std::uint64_t k) noexcept {
    return for_path(kernel_path(), k_gemm::dispatch_tiled_gemm_avx512f, k_gemm::dispatch_tiled_gemm_avx2_fma,
                    fallback::tiled_gemm_portable<T>)(a, b, c, m, n, k);
}

namespace k_panels = zubrin_simd::dispatch::gemm::dispatch_shared_panels;

template <class T>
std::uint64_t panel_width(KernelPath path) noexcept {
    return for_path(path, k_panels::panel_width_avx512f<T>, k_panels::panel_width_avx2_fma<T>,
                    fallback::portable_panel_width<T>);
}

template <class T>
SimdError dispatch_pack_full_panels(KernelPath path, std::span<const T> b, std::uint64_t n, std::uint64_t k,
                                    std::span<T> panels, std::uint64_t first, std::uint64_t last) noexcept {
    return for_path(path, k_panels::dispatch_pack_full_panels_avx512f, k_panels::dispatch_pack_full_panels_avx2_fma,
                    fallback::pack_full_panels_portable<T>)(b, n, k, panels, first, last);
}

template <class T>
SimdError dispatch_tiled_gemm_panels(KernelPath path, std::span<const T> a, std::span<const T> b,
                                     std::span<const T> panels, std::span<T> c, std::uint64_t m, std::uint64_t n,
                                     std::uint64_t k) noexcept {
    return for_path(path, k_panels::dispatch_tiled_gemm_panels_avx512f, k_panels::dispatch_tiled_gemm_panels_avx2_fma,
                    fallback::tiled_gemm_panels_portable<T>)(a, b, panels, c, m, n, k);
}

template std::uint64_t panel_width<float>(KernelPath) noexcept;
template std::uint64_t panel_width<double>(KernelPath) noexcept;
template SimdError dispatch_pack_full_panels<float>(KernelPath, std::span<const float>, std::uint64_t, std::uint64_t,
                                                    std::span<float>, std::uint64_t, std::uint64_t) noexcept;
template SimdError dispatch_pack_full_panels<double>(KernelPath, std::span<const double>, std::uint64_t,
                                                     std::uint64_t, std::span<double>, std::uint64_t,
                                                     std::uint64_t) noexcept;
template SimdError dispatch_tiled_gemm_panels<float>(KernelPath, std::span<const float>, std::span<const float>,
                                                     std::span<const float>, std::span<float>, std::uint64_t,
                                                     std::uint64_t, std::uint64_t) noexcept;
template SimdError dispatch_tiled_gemm_panels<double>(KernelPath, std::span<const double>, std::span<const double>,
                                                      std::span<const double>, std::span<double>, std::uint64_t,
                                                      std::uint64_t, std::uint64_t) noexcept;

template DotResult<float> dispatch_dot<float>(std::span<const float>, std::span<const float>) noexcept;
template DotResult<double> dispatch_dot<double>(std::span<const double>, std::span<const double>) noexcept;
template SimdError dispatch_axpy<float>(std::span<const float>, std::span<float>, float) noexcept;
template SimdError dispatch_axpy<double>(std::span<const double>, std::span<double>, double) noexcept;
template SimdError dispatch_axpy_rows<float>(std::span<const float>, std::span<const float>, std::span<float>,
                                             std::uint64_t, std::uint64_t, std::uint64_t) noexcept;
template SimdError dispatch_axpy_rows<double>(std::span<const double>, std::span<const double>, std::span<double>,
                                              std::uint64_t, std::uint64_t, std::uint64_t) noexcept;
template SimdError dispatch_axpy_rows_batch<float>(std::span<const float>, std::span<const float>, std::span<float>,
                                                   std::uint64_t, std::uint64_t, std::uint64_t,
                                                   std::uint64_t) noexcept;
template SimdError dispatch_axpy_rows_batch<double>(std::span<const double>, std::span<const double>,
                                                    std::span<double>, std::uint64_t, std::uint64_t, std::uint64_t,
                                                    std::uint64_t) noexcept;
template SimdError dispatch_elementwise_binary<ew::Add>(std::span<const float>, std::span<const float>,
                                                        std::span<float>) noexcept;
template SimdError dispatch_elementwise_binary<ew::Sub>(std::span<const float>, std::span<const float>,
                                                        std::span<float>) noexcept;
template SimdError dispatch_elementwise_binary<ew::Mul>(std::span<const float>, std::span<const float>,
                                                        std::span<float>) noexcept;
template SimdError dispatch_elementwise_binary<ew::Div>(std::span<const float>, std::span<const float>,
                                                        std::span<float>) noexcept;
template SimdError dispatch_tiled_gemm<float>(std::span<const float>, std::span<const float>, std::span<float>,
                                              std::uint64_t, std::uint64_t, std::uint64_t) noexcept;
template SimdError dispatch_tiled_gemm<double>(std::span<const double>, std::span<const double>, std::span<double>,
                                               std::uint64_t, std::uint64_t, std::uint64_t) noexcept;

}  // namespace kavrel_ops::domain::scalar::dispatch
