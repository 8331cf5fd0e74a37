#include "zubrin_simd/dispatch/isa/lanes_avx2_fma.hpp"
#include "zubrin_simd/dispatch/isa/gemm_tile.hpp"
#include "zubrin_simd/dispatch/gemm.hpp"
#include "zubrin_simd_core/tiling/gemm.hpp"

namespace zubrin_simd::dispatch::gemm::detail::avx2_fma {

namespace {

using zubrin_simd_core::tuning::avx2_fma_tile;
using Tile64 = isa::ShapedGemmTile<isa::Lanes<double>, avx2_fma_tile<double>>;
using Tile32 = isa::ShapedGemmTile<isa::Lanes<float>, avx2_fma_tile<float>>;

// A width that is not a whole number of vectors would leave columns out of every panel.
static_assert(Tile32::vectors * Tile32::lanes == dispatch_shared_panels::panel_width_avx2_fma<float>);
static_assert(Tile64::vectors * Tile64::lanes == dispatch_shared_panels::panel_width_avx2_fma<double>);

}  // namespace

void tiled_gemm(const float* a, const float* b, float* c, std::size_t m, std::size_t n, std::size_t k) noexcept {
    zubrin_simd_core::tiling::gemm::tiled_gemm_nest<Tile32>(a, b, c, m, n, k);
}
void tiled_gemm(const double* a, const double* b, double* c, std::size_t m, std::size_t n, std::size_t k) noexcept {
    zubrin_simd_core::tiling::gemm::tiled_gemm_nest<Tile64>(a, b, c, m, n, k);
}
void pack_full_panels(const float* b, std::size_t n, std::size_t k, float* panels, std::size_t first,
                      std::size_t last) noexcept {
    zubrin_simd_core::tiling::gemm::pack_full_panels<Tile32>(b, n, k, panels, first, last);
}
void pack_full_panels(const double* b, std::size_t n, std::size_t k, double* panels, std::size_t first,
                      std::size_t last) noexcept {
    zubrin_simd_core::tiling::gemm::pack_full_panels<Tile64>(b, n, k, panels, first, last);
}
void tiled_gemm_over_panels(const float* a, const float* b, const float* panels, float* c, std::size_t m,
                            std::size_t n, std::size_t k) noexcept {
    zubrin_simd_core::tiling::gemm::tiled_gemm_over_panels<Tile32>(a, b, panels, c, m, n, k);
}
void tiled_gemm_over_panels(const double* a, const double* b, const double* panels, double* c, std::size_t m,
                            std::size_t n, std::size_t k) noexcept {
    zubrin_simd_core::tiling::gemm::tiled_gemm_over_panels<Tile64>(a, b, panels, c, m, n, k);
}

}  // namespace zubrin_simd::dispatch::gemm::detail::avx2_fma
