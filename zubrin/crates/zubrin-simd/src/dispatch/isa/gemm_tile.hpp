// The tile record that an instruction-set unit hands to the matrix-product loop nest of
// zubrin_simd_core/tiling/gemm.hpp: its lane record plus the register tile's shape and a
// prefetch hint. Included only by instruction-set units, after their lanes header, and kept in
// an anonymous namespace like the lanes, so each unit instantiates the nest for itself.
#pragma once

#include <xmmintrin.h>

#include <cstddef>

#include "zubrin_simd_core/tuning.hpp"

namespace zubrin_simd::dispatch::isa {
namespace {  // NOLINT: internal linkage on purpose, see above

// Rows × VectorsPerRow accumulator vectors stay in registers across the whole shared dimension.
template <class L, std::size_t Rows, std::size_t VectorsPerRow>
struct GemmTile : L {
    static constexpr std::size_t rows = Rows;
    static constexpr std::size_t vectors = VectorsPerRow;
    static constexpr std::size_t lanes = L::width;
    static void prefetch(const typename L::T* p) { _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T1); }
    // A load the compiler must keep in a register. Left alone, g++ folds the B load into every
    // fused multiply-add that uses it, so each B vector is loaded once per tile row; with three
    // rows of float64 that is a 512-bit load per fused multiply-add, and the load ports, not the
    // FMA units, set the pace (about 72% of peak on Zen 4).
    static typename L::V load_register(const typename L::T* p) {
        typename L::V v = L::load(p);
        asm("" : "+v"(v));
        return v;
    }
};

// The tile of a shape from the tuning table: Shape.rows rows × Shape.columns / L::width vectors.
template <class L, zubrin_simd_core::tuning::TileShape Shape>
using ShapedGemmTile = GemmTile<L, Shape.rows, Shape.columns / L::width>;

}  // namespace
}  // namespace zubrin_simd::dispatch::isa
