// The dense row-major matrix product C += A·B (A m×k, B k×n, C m×n): its operand check and its
// loop nest, written once over a tile geometry and instantiated by each instruction-set unit and
// by the portable path. Every element of C is read once per tile, updated as
// c ← fma(a(i, p), b(p, j), c) for p = 0, 1, …, k − 1, and written once, so every geometry,
// path and packing choice gives the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zubrin_simd_core/error.hpp"
#include "zubrin_simd_core/tuning.hpp"
#include "zubrin_simd_core/vec/aligned.hpp"

namespace zubrin_simd_core::tiling::gemm {

using error::SimdError;

// Forms m·k, k·n and m·n in that order (any overflow: mismatch); success when
// a_len >= m·k, b_len >= k·n and c_len >= m·n, else mismatch. Never output_too_short.
[[nodiscard]] SimdError check_tiled_gemm_dimensions(std::uint64_t a_len, std::uint64_t b_len, std::uint64_t c_len,
                                                    std::uint64_t m, std::uint64_t n, std::uint64_t k) noexcept;

// True when n·k·element_bytes reaches tuning::packing_threshold_bytes; an overflowing product
// counts as larger than any threshold.
[[nodiscard]] bool reaches_packing_threshold(std::uint64_t n, std::uint64_t k, std::size_t element_bytes) noexcept;

// The tile geometry a caller instantiates the nest with, a record `Tile` holding:
//   T, V, Mask                      element, vector and lane-mask types
//   rows, vectors, lanes            R rows × W = vectors·lanes columns; lanes = V elements per vector
//   splat(x), load(p), store(p, v)
//   load_register(p)                load(p) into a register that the tile reuses for every row
//   fma(x, y, acc)                  x·y + acc, rounded once
//   tail_mask(w)                    mask of the first w lanes, 1 ≤ w ≤ lanes
//   load_tail(m, p), store_tail(p, m, v)
//                                   absent lanes are neither read nor written; they load as zero
//   prefetch(p)                     a hint to bring p's line into the level-2 cache; may do nothing
// The record must have internal linkage (an anonymous namespace) in the unit that instantiates
// the nest, so each instruction-set unit gets its own copy of every function below.
//
// C += A·B on operands that passed check_tiled_gemm_dimensions. Tiled path (m, n and k at least
// tuning::tiled_min_rows, _cols and _depth): R × W register tiles over the full panels of W
// columns, B packed panel by panel (panel loop outermost) from tuning::packing_threshold_bytes
// on, else read in place (row-group loop outermost); then the last n mod W columns: their whole
// vectors as one narrower tile per row group, the lanes left in a masked strip. Otherwise the
// one-vector path: strips of `lanes` columns, B packed strip by strip when m ≥ 2 and B reaches
// the threshold, else in place with row groups by up to Tile::vectors strips; then one masked
// strip. At most one panel buffer exists per call.
template <class Tile>
void tiled_gemm_nest(const typename Tile::T* a, const typename Tile::T* b, typename Tile::T* c, std::size_t m,
                     std::size_t n, std::size_t k);

// One packed copy of B for several products over it (the row blocks of one product, or the items
// of a batch that share B): the full panels of W = Tile::vectors·lanes columns, panel q (columns
// q·W … q·W + W − 1) at panels + q·W·k, each laid out as the tiled path packs it (element p·W + c
// holds B(p, q·W + c)). full_panel_count(n) = n div W panels, W·k elements each.
template <class Tile>
[[nodiscard]] constexpr std::size_t full_panel_count(std::size_t n) noexcept {
    return n / (Tile::vectors * Tile::lanes);
}
// Packs panels first … last − 1 of B (k rows, n apart) into `panels`.
// Requires: last ≤ full_panel_count(n); panels holds full_panel_count(n)·W·k elements.
template <class Tile>
void pack_full_panels(const typename Tile::T* b, std::size_t n, std::size_t k, typename Tile::T* panels,
                      std::size_t first, std::size_t last);
// C += A·B as the tiled path computes it from packed panels, reading B's full panels from
// `panels` (pack_full_panels of the same B) and the remaining columns in place: the same tiles,
// loop order and bits as tiled_gemm_nest when it packs. Requires: m ≥ tuning::tiled_min_rows,
// n ≥ tuning::tiled_min_cols, k ≥ tuning::tiled_min_depth, full_panel_count(n) > 0, operands
// checked.
template <class Tile>
void tiled_gemm_over_panels(const typename Tile::T* a, const typename Tile::T* b, const typename Tile::T* panels,
                            typename Tile::T* c, std::size_t m, std::size_t n, std::size_t k);

// Implementation details

namespace detail {

// The scratch panel of one call: an aligned buffer of `elements` values, freed by the destructor.
// Its members are compiled once, in the baseline unit, so no instruction-set unit carries a copy
// of the buffer's code.
template <class T>
class PackedPanel {
public:
    explicit PackedPanel(std::uint64_t elements);
    ~PackedPanel();
    PackedPanel(const PackedPanel&) = delete;
    PackedPanel& operator=(const PackedPanel&) = delete;
    // The 64-byte aligned storage, writable below `elements`.
    [[nodiscard]] T* data() noexcept;

private:
    vec::aligned::AlignedVec<T> storage_;
};

extern template class PackedPanel<float>;
extern template class PackedPanel<double>;

// Level-2 prefetch hints for the lines of one row of `Width` elements: one per 64 bytes from the
// first element, and one for the last, since a row of B need not start on a line.
template <class Tile, std::size_t Width>
inline void prefetch_row(const typename Tile::T* row) {
    constexpr std::size_t per_line = 64 / sizeof(typename Tile::T);
#pragma GCC unroll 8
    for (std::size_t e = 0; e < Width; e += per_line) Tile::prefetch(row + e);
    Tile::prefetch(row + (Width - 1));
}

// Copies columns 0 … Width − 1 of the k rows of B (rows n apart, starting at b) into the panel,
// row p at panel[p·Width], tuning::pack_rows_per_step rows per step.
template <class Tile, std::size_t Width>
void pack_columns(const typename Tile::T* b, std::size_t n, std::size_t k, typename Tile::T* panel) {
    constexpr std::size_t lanes = Tile::lanes;
    constexpr std::size_t step = tuning::pack_rows_per_step;
    constexpr std::size_t distance = tuning::pack_prefetch_rows;
    std::size_t p = 0;
    for (; p + step <= k; p += step) {
        if (p + distance + step <= k) {
#pragma GCC unroll tuning::pack_rows_per_step
            for (std::size_t q = 0; q < step; ++q) prefetch_row<Tile, Width>(b + (p + distance + q) * n);
        }
#pragma GCC unroll tuning::pack_rows_per_step
        for (std::size_t q = 0; q < step; ++q) {
            const typename Tile::T* from = b + (p + q) * n;
            typename Tile::T* to = panel + (p + q) * Width;
#pragma GCC unroll 8
            for (std::size_t e = 0; e < Width; e += lanes) Tile::store(to + e, Tile::load(from + e));
        }
    }
    for (; p < k; ++p) {
#pragma GCC unroll 8
        for (std::size_t e = 0; e < Width; e += lanes) Tile::store(panel + p * Width + e, Tile::load(b + p * n + e));
    }
}

// The register tile: Rows rows of A (k apart) times Vectors full vectors of B (rows ldb apart)
// added into Rows × Vectors vectors of C (rows n apart). Each step p loads the B row once into
// registers and broadcasts one element of A per row, so B is never re-read within a step.
// With a non-null `ahead`, steps p < ahead_steps also ask for the Vectors·lanes elements at
// ahead + p·n into the level-2 cache. With Pack, step p also stores the B row it loaded at
// pack_to + p·Vectors·lanes: the tile fills the packed panel as it goes (see tiled_path).
template <class Tile, std::size_t Rows, std::size_t Vectors, bool Pack = false>
void full_tile(const typename Tile::T* a, std::size_t k, const typename Tile::T* b, std::size_t ldb,
               typename Tile::T* c, std::size_t n, const typename Tile::T* ahead = nullptr,
               std::size_t ahead_steps = 0, typename Tile::T* pack_to = nullptr) {
    using V = typename Tile::V;
    constexpr std::size_t lanes = Tile::lanes;
    V acc[Rows][Vectors];
#pragma GCC unroll 8
    for (std::size_t r = 0; r < Rows; ++r) {
#pragma GCC unroll 8
        for (std::size_t v = 0; v < Vectors; ++v) acc[r][v] = Tile::load(c + r * n + v * lanes);
    }
    const auto step = [&](std::size_t p) {
        const typename Tile::T* row = b + p * ldb;
        V bv[Vectors];
#pragma GCC unroll 8
        for (std::size_t v = 0; v < Vectors; ++v) bv[v] = Tile::load_register(row + v * lanes);
        if constexpr (Pack) {
#pragma GCC unroll 8
            for (std::size_t v = 0; v < Vectors; ++v) Tile::store(pack_to + (p * Vectors + v) * lanes, bv[v]);
        }
#pragma GCC unroll 8
        for (std::size_t r = 0; r < Rows; ++r) {
            const V x = Tile::splat(a[r * k + p]);
#pragma GCC unroll 8
            for (std::size_t v = 0; v < Vectors; ++v) acc[r][v] = Tile::fma(x, bv[v], acc[r][v]);
        }
    };
    std::size_t p = 0;
    if (ahead != nullptr) {
        for (; p < ahead_steps; ++p) {
            prefetch_row<Tile, Vectors * lanes>(ahead + p * n);
            step(p);
        }
    }
#pragma GCC unroll tuning::tile_steps_per_iteration
    for (; p < k; ++p) step(p);
#pragma GCC unroll 8
    for (std::size_t r = 0; r < Rows; ++r) {
#pragma GCC unroll 8
        for (std::size_t v = 0; v < Vectors; ++v) Tile::store(c + r * n + v * lanes, acc[r][v]);
    }
}

// One masked vector per row: Rows rows, the first `width` lanes present (`mask`). Absent lanes of
// B and C load as zero and are never stored, so what they compute is discarded. Kept out of line:
// inlined into the nest, g++ spills the mask and reloads it on every step.
template <class Tile, std::size_t Rows>
[[gnu::noinline]] void masked_strip(const typename Tile::T* a, std::size_t k, const typename Tile::T* b,
                                    std::size_t ldb, typename Tile::T* c, std::size_t n, std::size_t width,
                                    typename Tile::Mask mask) {
    using V = typename Tile::V;
    V acc[Rows];
#pragma GCC unroll 8
    for (std::size_t r = 0; r < Rows; ++r) acc[r] = Tile::load_tail(mask, c + r * n);
    const auto step = [&](std::size_t p) {
        const V bv = Tile::load_tail(mask, b + p * ldb);
#pragma GCC unroll 8
        for (std::size_t r = 0; r < Rows; ++r) acc[r] = Tile::fma(Tile::splat(a[r * k + p]), bv, acc[r]);
    };
    std::size_t p = 0;
    constexpr std::size_t distance = tuning::strip_prefetch_rows;
    const std::size_t prefetched_end = k > distance ? k - distance : 0;
    for (; p < prefetched_end; ++p) {
        // First and last present element: the strip may straddle two lines.
        const typename Tile::T* ahead = b + (p + distance) * ldb;
        Tile::prefetch(ahead);
        Tile::prefetch(ahead + (width - 1));
        step(p);
    }
    for (; p < k; ++p) step(p);
#pragma GCC unroll 8
    for (std::size_t r = 0; r < Rows; ++r) Tile::store_tail(c + r * n, mask, acc[r]);
}

// full_tile for a run-time row count 1 ≤ rows ≤ Rows (the short last row group).
template <class Tile, std::size_t Vectors, std::size_t Rows = Tile::rows>
void full_tile_rows(std::size_t rows, const typename Tile::T* a, std::size_t k, const typename Tile::T* b,
                    std::size_t ldb, typename Tile::T* c, std::size_t n) {
    if constexpr (Rows == 1) {
        full_tile<Tile, 1, Vectors>(a, k, b, ldb, c, n);
    } else if (rows == Rows) {
        full_tile<Tile, Rows, Vectors>(a, k, b, ldb, c, n);
    } else {
        full_tile_rows<Tile, Vectors, Rows - 1>(rows, a, k, b, ldb, c, n);
    }
}

// A row group of 1 ≤ rows ≤ Tile::rows rows over a run-time number 1 ≤ count ≤ Vectors of whole
// vectors.
template <class Tile, std::size_t Vectors = Tile::vectors>
void full_tile_vectors(std::size_t count, std::size_t rows, const typename Tile::T* a, std::size_t k,
                       const typename Tile::T* b, std::size_t ldb, typename Tile::T* c, std::size_t n) {
    if constexpr (Vectors == 1) {
        full_tile_rows<Tile, 1>(rows, a, k, b, ldb, c, n);
    } else if (count == Vectors) {
        full_tile_rows<Tile, Vectors>(rows, a, k, b, ldb, c, n);
    } else {
        full_tile_vectors<Tile, Vectors - 1>(count, rows, a, k, b, ldb, c, n);
    }
}

// Columns [j, j_end) of rows 0 … m − 1, a whole number of vectors and at most Tile::vectors·lanes
// wide, B in place: one tile per row group, so every B load serves the whole group and the group
// has rows × vectors independent chains.
template <class Tile>
void vectors_over_rows(const typename Tile::T* a, const typename Tile::T* b, typename Tile::T* c, std::size_t m,
                       std::size_t n, std::size_t k, std::size_t j, std::size_t j_end) {
    constexpr std::size_t rows = Tile::rows;
    const std::size_t count = (j_end - j) / Tile::lanes;
    for (std::size_t i0 = 0; i0 < m; i0 += rows) {
        const std::size_t r = m - i0 < rows ? m - i0 : rows;
        full_tile_vectors<Tile>(count, r, a + i0 * k, k, b + j, n, c + i0 * n + j, n);
    }
}

template <class Tile, std::size_t Rows = Tile::rows>
void masked_strip_rows(std::size_t rows, const typename Tile::T* a, std::size_t k, const typename Tile::T* b,
                       std::size_t ldb, typename Tile::T* c, std::size_t n, std::size_t width,
                       typename Tile::Mask mask) {
    if constexpr (Rows == 1) {
        masked_strip<Tile, 1>(a, k, b, ldb, c, n, width, mask);
    } else if (rows == Rows) {
        masked_strip<Tile, Rows>(a, k, b, ldb, c, n, width, mask);
    } else {
        masked_strip_rows<Tile, Rows - 1>(rows, a, k, b, ldb, c, n, width, mask);
    }
}

// One masked strip of w columns at column j over rows 0 … m − 1, B in place. A strip does one
// fused multiply-add per row and B vector, so its row loop is unrolled until at least
// tuning::strip_chains rows share each B load, then finishes in row groups of Tile::rows.
template <class Tile>
void strip_over_rows(const typename Tile::T* a, const typename Tile::T* b, typename Tile::T* c, std::size_t m,
                     std::size_t n, std::size_t k, std::size_t j, std::size_t w) {
    constexpr std::size_t rows = Tile::rows;
    constexpr std::size_t jammed_rows = rows * ((tuning::strip_chains + rows - 1) / rows);
    const typename Tile::Mask mask = Tile::tail_mask(w);
    std::size_t i0 = 0;
    for (; i0 + jammed_rows <= m; i0 += jammed_rows) {
        masked_strip<Tile, jammed_rows>(a + i0 * k, k, b + j, n, c + i0 * n + j, n, w, mask);
    }
    for (; i0 < m; i0 += rows) {
        const std::size_t r = m - i0 < rows ? m - i0 : rows;
        masked_strip_rows<Tile>(r, a + i0 * k, k, b + j, n, c + i0 * n + j, n, w, mask);
    }
}

// Row groups from row `first` to m − 1 over one packed panel of B's columns j0 … j0 + W − 1.
template <class Tile>
void tiles_over_panel(const typename Tile::T* a, const typename Tile::T* panel, typename Tile::T* c, std::size_t m,
                      std::size_t n, std::size_t k, std::size_t j0, std::size_t first) {
    constexpr std::size_t rows = Tile::rows;
    constexpr std::size_t width = Tile::vectors * Tile::lanes;
    for (std::size_t i0 = first; i0 < m; i0 += rows) {
        const std::size_t r = m - i0 < rows ? m - i0 : rows;
        full_tile_rows<Tile, Tile::vectors>(r, a + i0 * k, k, panel, width, c + i0 * n + j0, n);
    }
}

// The last n mod W columns of the tiled path, after every full panel, B in place: their whole
// vectors side by side, then the lanes left over in one masked strip.
template <class Tile>
void remainder_columns(const typename Tile::T* a, const typename Tile::T* b, typename Tile::T* c, std::size_t m,
                       std::size_t n, std::size_t k) {
    constexpr std::size_t width = Tile::vectors * Tile::lanes;
    const std::size_t full_end = n - n % width;
    const std::size_t vectors_end = n - n % Tile::lanes;
    if (vectors_end > full_end) vectors_over_rows<Tile>(a, b, c, m, n, k, full_end, vectors_end);
    if (vectors_end < n) strip_over_rows<Tile>(a, b, c, m, n, k, vectors_end, n - vectors_end);
}

template <class Tile>
void tiled_path(const typename Tile::T* a, const typename Tile::T* b, typename Tile::T* c, std::size_t m,
                std::size_t n, std::size_t k) {
    using T = typename Tile::T;
    constexpr std::size_t rows = Tile::rows;
    constexpr std::size_t vectors = Tile::vectors;
    constexpr std::size_t width = vectors * Tile::lanes;
    static_assert(rows <= tuning::tiled_min_rows, "the first row group of a packed panel is whole");
    const std::size_t full_end = n - n % width;
    if (full_end > 0 && reaches_packing_threshold(n, k, sizeof(T))) {
        // One copy of each panel serves every row group, so the panel loop is outermost.
        PackedPanel<T> buffer(std::uint64_t{width} * k);
        T* const panel = buffer.data();
        for (std::size_t j0 = 0; j0 < full_end; j0 += width) {
            // The first row group (always whole: m ≥ tiled_min_rows ≥ R) reads the panel's
            // columns of B in place, asking for them pack_prefetch_rows rows ahead, and copies
            // them into the panel as it goes: the loads it needs anyway serve the copy. As a pass
            // of its own the copy cost a fifth of the time.
            constexpr std::size_t distance = tuning::pack_prefetch_rows;
            const std::size_t ahead_steps = k > distance ? k - distance : 0;
            const T* ahead = ahead_steps > 0 ? b + j0 + distance * n : nullptr;
            full_tile<Tile, rows, vectors, true>(a, k, b + j0, n, c + j0, n, ahead, ahead_steps, panel);
            tiles_over_panel<Tile>(a, panel, c, m, n, k, j0, rows);
        }
    } else {
        for (std::size_t i0 = 0; i0 < m; i0 += rows) {
            const std::size_t r = m - i0 < rows ? m - i0 : rows;
            for (std::size_t j0 = 0; j0 < full_end; j0 += width) {
                full_tile_rows<Tile, vectors>(r, a + i0 * k, k, b + j0, n, c + i0 * n + j0, n);
            }
        }
    }
    remainder_columns<Tile>(a, b, c, m, n, k);
}

// The one-vector path. Its loops are unrolled so that several independent chains share a tile
// (Tile::rows rows of a packed strip; in place, Tile::rows rows by up to Tile::vectors strips;
// tuning::strip_chains rows of the masked strip) and keep the fused multiply-add units busy; each element
// still gets its own chain.
template <class Tile>
void small_path(const typename Tile::T* a, const typename Tile::T* b, typename Tile::T* c, std::size_t m,
                std::size_t n, std::size_t k) {
    using T = typename Tile::T;
    constexpr std::size_t lanes = Tile::lanes;
    constexpr std::size_t rows = Tile::rows;
    constexpr std::size_t tile_width = Tile::vectors * lanes;
    const std::size_t full_end = n - n % lanes;
    if (m >= 2 && full_end > 0 && reaches_packing_threshold(n, k, sizeof(T))) {
        PackedPanel<T> buffer(std::uint64_t{lanes} * k);
        T* const panel = buffer.data();
        for (std::size_t j0 = 0; j0 < full_end; j0 += lanes) {
            pack_columns<Tile, lanes>(b + j0, n, k, panel);
            for (std::size_t i = 0; i < m; i += rows) {
                const std::size_t r = m - i < rows ? m - i : rows;
                full_tile_rows<Tile, 1>(r, a + i * k, k, panel, lanes, c + i * n + j0, n);
            }
        }
    } else if (m > 0 && full_end > 0 && k > 0) {
        for (std::size_t i0 = 0; i0 < m; i0 += rows) {
            const std::size_t r = m - i0 < rows ? m - i0 : rows;
            std::size_t j0 = 0;
            for (; j0 + tile_width <= full_end; j0 += tile_width) {
                full_tile_rows<Tile, Tile::vectors>(r, a + i0 * k, k, b + j0, n, c + i0 * n + j0, n);
            }
            if (j0 < full_end) {
                full_tile_vectors<Tile>((full_end - j0) / lanes, r, a + i0 * k, k, b + j0, n, c + i0 * n + j0, n);
            }
        }
    }
    if (full_end < n && m > 0 && k > 0) strip_over_rows<Tile>(a, b, c, m, n, k, full_end, n - full_end);
}

}  // namespace detail

template <class Tile>
void pack_full_panels(const typename Tile::T* b, std::size_t n, std::size_t k, typename Tile::T* panels,
                      std::size_t first, std::size_t last) {
    constexpr std::size_t width = Tile::vectors * Tile::lanes;
    for (std::size_t q = first; q < last; ++q) detail::pack_columns<Tile, width>(b + q * width, n, k, panels + q * width * k);
}

template <class Tile>
void tiled_gemm_over_panels(const typename Tile::T* a, const typename Tile::T* b, const typename Tile::T* panels,
                            typename Tile::T* c, std::size_t m, std::size_t n, std::size_t k) {
    constexpr std::size_t width = Tile::vectors * Tile::lanes;
    const std::size_t count = full_panel_count<Tile>(n);
    for (std::size_t q = 0; q < count; ++q) detail::tiles_over_panel<Tile>(a, panels + q * width * k, c, m, n, k, q * width, 0);
    detail::remainder_columns<Tile>(a, b, c, m, n, k);
}

template <class Tile>
void tiled_gemm_nest(const typename Tile::T* a, const typename Tile::T* b, typename Tile::T* c, std::size_t m,
                     std::size_t n, std::size_t k) {
    if (m >= tuning::tiled_min_rows && n >= tuning::tiled_min_cols && k >= tuning::tiled_min_depth) {
        detail::tiled_path<Tile>(a, b, c, m, n, k);
    } else {
        detail::small_path<Tile>(a, b, c, m, n, k);
    }
}

}  // namespace zubrin_simd_core::tiling::gemm
