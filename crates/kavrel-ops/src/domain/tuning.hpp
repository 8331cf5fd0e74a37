// The tuning of kavrel_ops, in one table: the matrix-product engine's row blocks, path bound,
// column groups, work claims, parallel thresholds and portable tile, the broadcast run of the
// element-wise maps, and the linear algebra's panel widths, row groups and solve groups. Most of
// them choose only speed (each product row, for one, gets the same arithmetic however rows are
// blocked, grouped or shared out); the few that also fix how results round say so. zubrin's
// kernel tuning is zubrin_simd_core/tuning.hpp; an entry that has to agree with it is checked
// against it here.
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

// --- Linear algebra -----------------------------------------------------------------------

// Columns per panel of the blocked LU factorisation (the variant for working matrices larger
// than the level-3 cache), each panel's trailing update one accumulating matrix product; only
// the last panel can be narrower. No measurement is recorded behind the width.
inline constexpr std::uint64_t lu_panel_columns = 64;

// Rows per row-update call of an LU column step: the block's multipliers are divided first
// (independent divisions overlap instead of each waiting for the previous row's update) and
// their negations fill a stack block of coefficients for one axpy_rows call.
inline constexpr std::size_t lu_rows_per_update = 64;

// Panel width of the blocked Householder QR, and the column count from which it is used (one
// panel below it). Both fix how results round: a panel's trailing columns are updated at once in
// compact-WY form, not column by column. The width is at least zubrin's tiled depth bound, so
// the update's products over a whole panel run the register tiles.
inline constexpr std::uint64_t qr_panel_columns = 32;
inline constexpr std::uint64_t qr_blocked_from_columns = 192;
static_assert(qr_panel_columns >= zubrin_simd_core::tuning::tiled_min_depth,
              "a whole panel's update products take the tiled path");

// Cholesky rows factored together: their entries left of the group are independent inner
// products, which overlap in the processor instead of each waiting for the one before.
inline constexpr std::size_t cholesky_row_group = 4;

// Right-hand sides a Cholesky back substitution carries through one walk down a column of L
// (entries n apart): each entry read serves that many of them.
inline constexpr std::size_t cholesky_back_substitution_columns = 8;

// Unit right-hand sides an inverse solves at once (inv, cholesky_inv): their right-hand sides
// stay in the level-1 cache together.
inline constexpr std::size_t solve_group_columns = 8;

// Reflectors of the bidiagonalisation held back from their accumulator (U or V), each expanded to
// its full order, before the list is applied in the order they were made; the batching changes
// no arithmetic. No measurement is recorded behind the count.
inline constexpr std::size_t bidiagonal_reflector_batch = 16;

// Columns past the first up to which a Francis bulge reflector is applied from the left column by
// column, where the three-term column loop beats two axpy kernel passes. The two ways round
// differently, so the bound fixes results.
inline constexpr std::uint64_t francis_column_loop_span = 30;

}  // namespace kavrel_ops::domain::tuning
