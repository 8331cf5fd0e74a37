#include "zubrin_simd/dispatch/isa/lanes_avx2_fma.hpp"
#include "zubrin_simd/dispatch/isa/gemm_tile.hpp"
#include "zubrin_simd/dispatch/gemm.hpp"
#include "zubrin_simd_core/tiling/gemm.hpp"

namespace zubrin_simd::dispatch::gemm::detail::avx2_fma {

namespace {

// Both element types: 3 rows × 3 vectors, 9 accumulators, the 3 vectors of the B row and one
// broadcast of A in 13 of the 16 registers.
using Tile64 = isa::GemmTile<isa::Lanes<double>, 3, 3>;
using Tile32 = isa::GemmTile<isa::Lanes<float>, 3, 3>;

}  // namespace

void tiled_gemm(const float* a, const float* b, float* c, std::size_t m, std::size_t n, std::size_t k) noexcept {
    zubrin_simd_core::tiling::gemm::tiled_gemm_nest<Tile32>(a, b, c, m, n, k);
}
void tiled_gemm(const double* a, const double* b, double* c, std::size_t m, std::size_t n, std::size_t k) noexcept {
    zubrin_simd_core::tiling::gemm::tiled_gemm_nest<Tile64>(a, b, c, m, n, k);
}

}  // namespace zubrin_simd::dispatch::gemm::detail::avx2_fma
