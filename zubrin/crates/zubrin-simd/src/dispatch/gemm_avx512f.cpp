#include "zubrin_simd/dispatch/isa/lanes_avx512f.hpp"
#include "zubrin_simd/dispatch/isa/gemm_tile.hpp"
#include "zubrin_simd/dispatch/gemm.hpp"
#include "zubrin_simd_core/tiling/gemm.hpp"

namespace zubrin_simd::dispatch::gemm::detail::avx512f {

namespace {

// float64: 3 rows × 3 vectors, 9 accumulators and the 3 vectors of the B row in registers.
// float32: 6 rows × 4 vectors, 24 accumulators and 4 B vectors of the 32 registers; each B
// vector serves six rows, so loads stay well below one per fused multiply-add.
using Tile64 = isa::GemmTile<isa::Lanes<double>, 3, 3>;
using Tile32 = isa::GemmTile<isa::Lanes<float>, 6, 4>;

static_assert(Tile32::vectors * Tile32::lanes == dispatch_shared_panels::panel_width_avx512f<float>);
static_assert(Tile64::vectors * Tile64::lanes == dispatch_shared_panels::panel_width_avx512f<double>);

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

}  // namespace zubrin_simd::dispatch::gemm::detail::avx512f
