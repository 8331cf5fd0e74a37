#include "kavrel_ops/domain/scalar/slice_kernels.hpp"

#include <span>

#include "kavrel_ops/domain/scalar/cpu_features.hpp"
#include "kavrel_ops/domain/scalar/fallback.hpp"

namespace kavrel_ops::domain::scalar::slice_kernels {

namespace {

namespace dot = zubrin_simd::dispatch::dot::detail;
namespace axpy = zubrin_simd::dispatch::axpy::detail;
namespace gemm = zubrin_simd::dispatch::gemm::detail;

// The portable loops on runs that are equal by the caller's proof, so neither can refuse.
template <class T>
T portable_dot(const T* a, const T* b, std::size_t n) noexcept {
    return *fallback::dot_portable(std::span<const T>(a, n), std::span<const T>(b, n));
}
template <class T>
void portable_axpy(const T* x, T* out, std::size_t n, T alpha) noexcept {
    (void)fallback::axpy_portable(std::span<const T>(x, n), std::span<T>(out, n), alpha);
}

template <class T>
void portable_axpy_unfused(const T* x, T* out, std::size_t n, T alpha) noexcept {
    fallback::axpy_unfused(std::span<const T>(x, n), std::span<T>(out, n), alpha);
}

template <class T>
void portable_tiled_gemm(const T* a, const T* b, T* c, std::size_t m, std::size_t n, std::size_t k) noexcept {
    (void)fallback::tiled_gemm_portable(std::span<const T>(a, m * k), std::span<const T>(b, k * n),
                                        std::span<T>(c, m * n), m, n, k);
}

template <class T>
constexpr SliceKernels<T> avx512f{dot::avx512f::dot, axpy::avx512f::axpy, axpy::avx512f::axpy_unfused,
                                  gemm::avx512f::tiled_gemm};
template <class T>
constexpr SliceKernels<T> avx2_fma{dot::avx2_fma::dot, axpy::avx2_fma::axpy, axpy::avx2_fma::axpy_unfused,
                                   gemm::avx2_fma::tiled_gemm};
template <class T>
constexpr SliceKernels<T> portable{portable_dot<T>, portable_axpy<T>, portable_axpy_unfused<T>,
                                   portable_tiled_gemm<T>};

}  // namespace

template <ScalarElement T>
const SliceKernels<T>& current() noexcept {
    return *cpu_features::for_path(cpu_features::kernel_path(), &avx512f<T>, &avx2_fma<T>, &portable<T>);
}

template const SliceKernels<float>& current<float>() noexcept;
template const SliceKernels<double>& current<double>() noexcept;

}  // namespace kavrel_ops::domain::scalar::slice_kernels
