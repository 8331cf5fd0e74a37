// The tuning of kavrel_ops, in one table: the matrix-product engine's row blocks, path bound,
// column groups, work claims, parallel thresholds and portable tile, and the broadcast run of
// the element-wise maps. None of them changes a value: each product row gets the same arithmetic
// however rows are blocked, grouped or shared out. zubrin's kernel tuning is
// zubrin_simd_core/tuning.hpp; an entry that has to agree with it is checked against it here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zubrin_simd_core/tuning.hpp"

namespace kavrel_ops::domain::tuning {

using zubrin_simd_core::tuning::TileShape;

// --- Matrix products ----------------------------------------------------------------------

// Rows per block of the row-blocked kernel and per unit of the parallel row-blocked path. At
// least zubrin's tiled row bound, so every whole block of a dense product runs the register tiles
// and can read one shared packed copy of B.
inline constexpr std::uint64_t tile_policy_block_rows = 32;
static_assert(tile_policy_block_rows >= zubrin_simd_core::tuning::tiled_min_rows,
              "a whole row block takes the tiled path");

// Products with fewer rows take the column or zero-skipping path outside the dense case,
// whatever the row range of the call. No measurement is recorded behind the bound.
inline constexpr std::uint64_t small_product_rows = 128;

// Columns of A per axpy_rows_batch call on the grouped path: a block of C is loaded and stored
// once per group instead of once per column.
inline constexpr std::uint64_t group_columns = 4;

// Runs of row blocks a participant claims, on average: more than one, so a participant that
// starts late leaves part of its share to the others; few, so each run stays one product over
// many rows, every shared panel serving all of them while in cache.
inline constexpr std::uint64_t claims_per_participant = 2;

// A product runs in parallel from this many rows and multiply-adds on, so small products pay
// nothing for the executor; the same rule for every kernel family.
inline constexpr std::uint64_t parallel_min_rows = 64;
inline constexpr std::uint64_t parallel_min_multiply_adds = std::uint64_t{1} << 18;

// Rows of C per unit of the parallel dot- and outer-product kernels, small units balancing
// across workers, and the most units such a kernel runs on the calling thread without the
// executor. No measurement is recorded behind either.
inline constexpr std::uint64_t band_rows = 4;
inline constexpr std::uint64_t inline_units_max = 15;

// Consecutive nonzero terms of a row of A the outer-product kernel adds per axpy_rows_batch
// call, C's row loaded and stored once for them. Against one axpy_slice per term (loaded
// machine, median): 1×256 @ 256×256 8.9 → 6.1 µs, 1×1024 @ 1024×1024 112 → 58 µs,
// 1×16384 @ 16384×64 197 → 86 µs.
inline constexpr std::uint64_t outer_terms_per_pass = 4;

// The portable path's register tile over 128-bit vectors whose lanes run one at a time: 3 rows
// × 3 vectors, the AVX2+FMA tile's shape (float64 3 × 6, float32 3 × 12). No measurement is
// recorded behind it.
template <class T>
inline constexpr TileShape portable_tile = sizeof(T) == 8 ? TileShape{3, 6} : TileShape{3, 12};

// --- Element-wise maps --------------------------------------------------------------------

// Elements of a broadcast value laid out for one slice-operation call: 4 KiB of float32, which
// stays in the level-1 cache beside the streamed operands.
inline constexpr std::uint64_t broadcast_run = 1024;

// Elements of such a run written one by one before block copies double what is filled, so a
// short run costs no copy call. No measurement is recorded behind it.
inline constexpr std::size_t fill_seed_elements = 16;

}  // namespace kavrel_ops::domain::tuning
