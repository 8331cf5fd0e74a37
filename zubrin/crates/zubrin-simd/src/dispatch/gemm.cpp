#include "zubrin_simd/dispatch/gemm.hpp"

#include "zubrin_simd_core/tiling/gemm.hpp"

namespace zubrin_simd::dispatch::gemm::dispatch_tiled_gemm {

namespace {

template <class T>
using Nest = void (*)(const T*, const T*, T*, std::size_t, std::size_t, std::size_t) noexcept;

template <class T>
SimdError checked_tiled_gemm(std::span<const T> a, std::span<const T> b, std::span<T> c, std::uint64_t m,
                             std::uint64_t n, std::uint64_t k, Nest<T> nest) noexcept {
    const SimdError status =
        zubrin_simd_core::tiling::gemm::check_tiled_gemm_dimensions(a.size(), b.size(), c.size(), m, n, k);
    if (status != SimdError::success) return status;
    nest(a.data(), b.data(), c.data(), m, n, k);
    return SimdError::success;
}

}  // namespace

SimdError dispatch_tiled_gemm_avx512f(std::span<const float> a, std::span<const float> b, std::span<float> c,
                                      std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept {
    return checked_tiled_gemm<float>(a, b, c, m, n, k, detail::avx512f::tiled_gemm);
}
SimdError dispatch_tiled_gemm_avx512f(std::span<const double> a, std::span<const double> b, std::span<double> c,
                                      std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept {
    return checked_tiled_gemm<double>(a, b, c, m, n, k, detail::avx512f::tiled_gemm);
}
SimdError dispatch_tiled_gemm_avx2_fma(std::span<const float> a, std::span<const float> b, std::span<float> c,
                                       std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept {
    return checked_tiled_gemm<float>(a, b, c, m, n, k, detail::avx2_fma::tiled_gemm);
}
SimdError dispatch_tiled_gemm_avx2_fma(std::span<const double> a, std::span<const double> b, std::span<double> c,
                                       std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept {
    return checked_tiled_gemm<double>(a, b, c, m, n, k, detail::avx2_fma::tiled_gemm);
}

}  // namespace zubrin_simd::dispatch::gemm::dispatch_tiled_gemm
