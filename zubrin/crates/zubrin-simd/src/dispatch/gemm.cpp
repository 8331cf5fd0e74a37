#include "zubrin_simd/dispatch/gemm.hpp"

#include "kavrel/domain/checked/arithmetic.hpp"
#include "zubrin_simd_core/tiling/gemm.hpp"
#include "zubrin_simd_core/tuning.hpp"

namespace zubrin_simd::dispatch::gemm {

namespace {

namespace tiling = zubrin_simd_core::tiling::gemm;
namespace tuning = zubrin_simd_core::tuning;
namespace checked = kavrel::domain::checked;

// Whether `available` elements hold all full panels, (n div width)·width·k of them; never when
// that count overflows (such panels could not be held either).
bool holds_full_panels(std::uint64_t available, std::uint64_t n, std::uint64_t k, std::uint64_t width) noexcept {
    const auto needed = checked::mul(n / width * width, k);
    if (!needed) return false;
    return available >= *needed;
}

}  // namespace

template <class T>
SimdError detail::checked_tiled_gemm(std::span<const T> a, std::span<const T> b, std::span<T> c, std::uint64_t m,
                                     std::uint64_t n, std::uint64_t k, GemmNest<T> nest) noexcept {
    const SimdError status = tiling::check_tiled_gemm_dimensions(a.size(), b.size(), c.size(), m, n, k);
    if (status != SimdError::success) return status;
    nest(a.data(), b.data(), c.data(), m, n, k);
    return SimdError::success;
}

template <class T>
SimdError detail::checked_pack_full_panels(std::span<const T> b, std::uint64_t n, std::uint64_t k, std::span<T> panels,
                                           std::uint64_t first, std::uint64_t last, std::uint64_t width,
                                           PackLoop<T> loop) noexcept {
    const auto b_needed = checked::mul(k, n);
    if (!b_needed) return SimdError::mismatch;
    if (b.size() < *b_needed) return SimdError::mismatch;
    if (!holds_full_panels(panels.size(), n, k, width)) return SimdError::mismatch;
    if (first > last || last > n / width) return SimdError::mismatch;
    loop(b.data(), n, k, panels.data(), first, last);
    return SimdError::success;
}

template <class T>
SimdError detail::checked_tiled_gemm_panels(std::span<const T> a, std::span<const T> b, std::span<const T> panels,
                                            std::span<T> c, std::uint64_t m, std::uint64_t n, std::uint64_t k,
                                            std::uint64_t width, PanelsNest<T> nest) noexcept {
    if (tiling::check_tiled_gemm_dimensions(a.size(), b.size(), c.size(), m, n, k) != SimdError::success)
        return SimdError::mismatch;
    if (m < tuning::tiled_min_rows || n < tuning::tiled_min_cols || k < tuning::tiled_min_depth || n < width)
        return SimdError::mismatch;
    if (!holds_full_panels(panels.size(), n, k, width)) return SimdError::mismatch;
    nest(a.data(), b.data(), panels.data(), c.data(), m, n, k);
    return SimdError::success;
}

template SimdError detail::checked_tiled_gemm<float>(std::span<const float>, std::span<const float>, std::span<float>,
                                                     std::uint64_t, std::uint64_t, std::uint64_t,
                                                     GemmNest<float>) noexcept;
template SimdError detail::checked_tiled_gemm<double>(std::span<const double>, std::span<const double>,
                                                      std::span<double>, std::uint64_t, std::uint64_t, std::uint64_t,
                                                      GemmNest<double>) noexcept;
template SimdError detail::checked_pack_full_panels<float>(std::span<const float>, std::uint64_t, std::uint64_t,
                                                           std::span<float>, std::uint64_t, std::uint64_t,
                                                           std::uint64_t, PackLoop<float>) noexcept;
template SimdError detail::checked_pack_full_panels<double>(std::span<const double>, std::uint64_t, std::uint64_t,
                                                            std::span<double>, std::uint64_t, std::uint64_t,
                                                            std::uint64_t, PackLoop<double>) noexcept;
template SimdError detail::checked_tiled_gemm_panels<float>(std::span<const float>, std::span<const float>,
                                                            std::span<const float>, std::span<float>, std::uint64_t,
                                                            std::uint64_t, std::uint64_t, std::uint64_t,
                                                            PanelsNest<float>) noexcept;
template SimdError detail::checked_tiled_gemm_panels<double>(std::span<const double>, std::span<const double>,
                                                             std::span<const double>, std::span<double>,
                                                             std::uint64_t, std::uint64_t, std::uint64_t,
                                                             std::uint64_t, PanelsNest<double>) noexcept;

namespace dispatch_tiled_gemm {

SimdError dispatch_tiled_gemm_avx512f(std::span<const float> a, std::span<const float> b, std::span<float> c,
                                      std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept {
    return detail::checked_tiled_gemm(a, b, c, m, n, k, detail::avx512f::tiled_gemm);
}
SimdError dispatch_tiled_gemm_avx512f(std::span<const double> a, std::span<const double> b, std::span<double> c,
                                      std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept {
    return detail::checked_tiled_gemm(a, b, c, m, n, k, detail::avx512f::tiled_gemm);
}
SimdError dispatch_tiled_gemm_avx2_fma(std::span<const float> a, std::span<const float> b, std::span<float> c,
                                       std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept {
    return detail::checked_tiled_gemm(a, b, c, m, n, k, detail::avx2_fma::tiled_gemm);
}
SimdError dispatch_tiled_gemm_avx2_fma(std::span<const double> a, std::span<const double> b, std::span<double> c,
                                       std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept {
    return detail::checked_tiled_gemm(a, b, c, m, n, k, detail::avx2_fma::tiled_gemm);
}

}  // namespace dispatch_tiled_gemm

namespace dispatch_shared_panels {

SimdError dispatch_pack_full_panels_avx512f(std::span<const float> b, std::uint64_t n, std::uint64_t k,
                                            std::span<float> panels, std::uint64_t first, std::uint64_t last) noexcept {
    return detail::checked_pack_full_panels(b, n, k, panels, first, last, panel_width_avx512f<float>,
                                            detail::avx512f::pack_full_panels);
}
SimdError dispatch_pack_full_panels_avx512f(std::span<const double> b, std::uint64_t n, std::uint64_t k,
                                            std::span<double> panels, std::uint64_t first, std::uint64_t last) noexcept {
    return detail::checked_pack_full_panels(b, n, k, panels, first, last, panel_width_avx512f<double>,
                                            detail::avx512f::pack_full_panels);
}
SimdError dispatch_pack_full_panels_avx2_fma(std::span<const float> b, std::uint64_t n, std::uint64_t k,
                                             std::span<float> panels, std::uint64_t first, std::uint64_t last) noexcept {
    return detail::checked_pack_full_panels(b, n, k, panels, first, last, panel_width_avx2_fma<float>,
                                            detail::avx2_fma::pack_full_panels);
}
SimdError dispatch_pack_full_panels_avx2_fma(std::span<const double> b, std::uint64_t n, std::uint64_t k,
                                             std::span<double> panels, std::uint64_t first,
                                             std::uint64_t last) noexcept {
    return detail::checked_pack_full_panels(b, n, k, panels, first, last, panel_width_avx2_fma<double>,
                                            detail::avx2_fma::pack_full_panels);
}

SimdError dispatch_tiled_gemm_panels_avx512f(std::span<const float> a, std::span<const float> b,
                                             std::span<const float> panels, std::span<float> c, std::uint64_t m,
                                             std::uint64_t n, std::uint64_t k) noexcept {
    return detail::checked_tiled_gemm_panels(a, b, panels, c, m, n, k, panel_width_avx512f<float>,
                                             detail::avx512f::tiled_gemm_over_panels);
}
SimdError dispatch_tiled_gemm_panels_avx512f(std::span<const double> a, std::span<const double> b,
                                             std::span<const double> panels, std::span<double> c, std::uint64_t m,
                                             std::uint64_t n, std::uint64_t k) noexcept {
    return detail::checked_tiled_gemm_panels(a, b, panels, c, m, n, k, panel_width_avx512f<double>,
                                             detail::avx512f::tiled_gemm_over_panels);
}
SimdError dispatch_tiled_gemm_panels_avx2_fma(std::span<const float> a, std::span<const float> b,
                                              std::span<const float> panels, std::span<float> c, std::uint64_t m,
                                              std::uint64_t n, std::uint64_t k) noexcept {
    return detail::checked_tiled_gemm_panels(a, b, panels, c, m, n, k, panel_width_avx2_fma<float>,
                                             detail::avx2_fma::tiled_gemm_over_panels);
}
SimdError dispatch_tiled_gemm_panels_avx2_fma(std::span<const double> a, std::span<const double> b,
                                              std::span<const double> panels, std::span<double> c, std::uint64_t m,
                                              std::uint64_t n, std::uint64_t k) noexcept {
    return detail::checked_tiled_gemm_panels(a, b, panels, c, m, n, k, panel_width_avx2_fma<double>,
                                             detail::avx2_fma::tiled_gemm_over_panels);
}

}  // namespace dispatch_shared_panels

}  // namespace zubrin_simd::dispatch::gemm
