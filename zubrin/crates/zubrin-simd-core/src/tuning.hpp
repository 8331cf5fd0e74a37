// The tuning of zubrin's kernels, in one table: the matrix product's register tiles per
// instruction set, its path bounds, packing threshold, prefetch distances and loop shape, and
// the output length from which element-wise results bypass the caches. None of them changes a
// value: every tile, path and packing choice gives the product the same bits, and streamed
// stores write the same elements. Not here: the register blockings written out by hand in the
// streaming and matrix-vector loops, which stay with those loops, and the reductions' blocks of
// four vectors, which fix their summation order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zubrin_simd_core::tuning {

// A register tile: rows of A by columns of B, a whole number of vectors, whose accumulators
// stay in registers across the whole shared dimension.
struct TileShape {
    std::size_t rows;
    std::size_t columns;
};

// --- AVX-512F: 32 registers of 512 bits ---------------------------------------------------

// float64 3 × 24 (3 vectors): 9 accumulators and the 3 vectors of the B row in registers.
// float32 6 × 64 (4 vectors): 24 accumulators and 4 B vectors of the 32 registers; each B
// vector serves six rows, so loads stay well below one per fused multiply-add.
template <class T>
inline constexpr TileShape avx512f_tile = sizeof(T) == 4 ? TileShape{6, 64} : TileShape{3, 24};

// --- AVX2+FMA: 16 registers of 256 bits ---------------------------------------------------

// Both element types 3 rows × 3 vectors (float64 3 × 12, float32 3 × 24): 9 accumulators, the
// 3 vectors of the B row and one broadcast of A in 13 of the 16 registers.
template <class T>
inline constexpr TileShape avx2_fma_tile = sizeof(T) == 4 ? TileShape{3, 24} : TileShape{3, 12};

// --- Matrix product, every geometry -------------------------------------------------------

// The register-tiled path from these extents on (all three), the one-vector path below any of
// them. One set for every geometry, so a caller can tell the path before it picks the CPU path.
// The row bound is at least every tile's rows: the first row group of a packed panel, which
// fills the panel, is always whole (the loop nest checks it). No measurement is recorded
// behind the column and depth bounds.
inline constexpr std::uint64_t tiled_min_rows = 16;
inline constexpr std::uint64_t tiled_min_cols = 16;
inline constexpr std::uint64_t tiled_min_depth = 32;

// From this size of B on (512 KiB), the columns that a tile reads are copied into a contiguous
// aligned panel first: below it the strided walk over B stays in the level-2 cache anyway.
inline constexpr std::uint64_t packing_threshold_bytes = 524288;

// How far ahead (in rows of B) the panel copy (a pass of its own on the one-vector path, the
// first row group's tile on the tiled path) and the masked strips ask for B: all walk B in place,
// n elements apart, and with n a power of two those rows share one level-1 set, so a line
// asked for into the level-1 cache is evicted again before use (8 ways). Into the level-2 cache
// instead, whose many more sets hold such a column of rows. Measured on Zen 4 at
// n = 512 … 2048: 32 rows for the copy, 16 for the strips; the other register tiles ask for
// nothing, since the hint costs them a load slot and their panel or B stays in cache anyway.
inline constexpr std::size_t pack_prefetch_rows = 32;
inline constexpr std::size_t strip_prefetch_rows = 16;

// Rows of B a panel copy takes per step, their prefetches issued together ahead of their
// copies, so the end of the prefetched rows is tested once per step. No measurement is recorded
// behind it.
inline constexpr std::size_t pack_rows_per_step = 4;

// Steps of the shared dimension per iteration of a register tile's loop: the loop's own
// instructions halve, and the next step's B loads can issue while this step's fused
// multiply-adds run (float32 one call at n = 1024 to 2048: about 81 % of peak, against 78 %).
inline constexpr std::size_t tile_steps_per_iteration = 2;

// Rows a masked strip runs at once (rounded up to whole row groups): each is an independent chain,
// and six cover the four-cycle fused multiply-add latency of current cores with room for the B
// load of each step.
inline constexpr std::size_t strip_chains = 6;

// --- Element-wise binary operations -------------------------------------------------------

// 2^21 float32 elements, 8 MiB per operand: from here on the output would only evict the
// inputs, so it is written with non-temporal stores.
inline constexpr std::size_t streaming_threshold_elements = std::size_t{1} << 21;

}  // namespace zubrin_simd_core::tuning
