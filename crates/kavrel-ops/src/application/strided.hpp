// The strided route of the element-wise binary maps: out = a op b over three rank-2 layouts
// walked row by row, or in square tiles of one cache line's worth of elements when some operand
// is walked across its storage order. The serial walk checks every access against its storage;
// the parallel walk hands rows or bands of rows to schedule_unit_ranges and trusts layouts that
// were validated before (an injective output, so different rows are different memory). Each
// element is one IEEE operation of the marker (map.hpp), so every walk gives the same bits.
#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <span>

#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel/domain/layout/layout.hpp"
#include "kavrel_ops/domain/tuning.hpp"
#include "kavrel_ops/infrastructure/parallel.hpp"

namespace kavrel_ops::application::strided {

using kavrel::domain::error::Result;
using kavrel::domain::layout::Layout;

// What the walks need of an operation marker: the element result and the slice operation.
template <class Op>
concept BinaryOp = requires(float x, std::span<const float> s, std::span<float> o) {
    { Op::element(x, x) } -> std::same_as<float>;
    Op::slice(s, s, o);
};

// One walk over the output's shape. a and b are already broadcast to that shape.
struct StridedWalk {
    std::array<std::uint64_t, 2> shape;  // (rows, cols) of the output
    Layout<2> a;
    Layout<2> b;
    std::uint64_t count;  // rows x cols
    Layout<2> out;
    std::uint64_t input_tile;   // tile edge in elements, against the inputs' column strides
    std::uint64_t output_tile;  // the same edge, against the output's column stride
};

// The storages of a serial walk, each access checked against its length.
struct SerialStorages {
    std::span<float> out;
    std::span<const float> a;
    std::span<const float> b;
};

// The storages of a parallel walk: every offset it forms was validated before.
struct WalkPointers {
    const float* a;
    const float* b;
    float* out;
};

enum class WalkKind { empty, rows, tiles };

// Empty when count or cols is 0. Tiles when rows > 0, the edge min(input tile, output tile) is
// positive and some column stride spans at least its tile (|a's| or |b's| >= input tile, |out's|
// >= output tile): an operand read across its storage order then touches B lines per B x B tile
// instead of one line per element. Rows otherwise.
[[nodiscard]] WalkKind choose_walk(const StridedWalk& walk) noexcept;

// The storage offsets of element (row, column) in a, b and out.
struct Offsets {
    std::int64_t a;
    std::int64_t b;
    std::int64_t out;
};

// The offsets of (r mod rows, 0), through the checked physical_offset (a, then b, then out).
[[nodiscard]] Result<Offsets> row_start(const StridedWalk& walk, std::uint64_t r);

// row_start for an index the validated layouts must map; a failure stops with the internal
// error "validated layout must map every logical index: <debug form>".
[[nodiscard]] Offsets mapped_row_start(const StridedWalk& walk, std::uint64_t r);

// Implementation details

namespace detail {

// Accesses of the checked serial walk; each stops with an internal error when the storage
// offset it forms overflows or falls outside [0, length).
// The run first, first + stride, ..., first + (count - 1)·stride (count >= 1).
void require_run_inside(std::int64_t first, std::int64_t stride, std::uint64_t count, std::size_t length);
// start + i·row_stride + j·col_stride, checked against length.
[[nodiscard]] std::int64_t checked_element_offset(std::int64_t start, std::uint64_t i, std::int64_t row_stride,
                                                  std::uint64_t j, std::int64_t col_stride, std::size_t length);
// at + by, stopping on overflow.
[[nodiscard]] std::int64_t checked_step(std::int64_t at, std::int64_t by);

// x[0, n) = v: a few elements one by one, then block copies of what is filled, so the fill
// costs a fraction of the slice operation it feeds even where the loop is not vectorised.
inline void fill_run(float* x, std::size_t n, float v) {
    const std::size_t first = std::min(n, std::size_t{kavrel_ops::domain::tuning::fill_seed_elements});
    for (std::size_t k = 0; k < first; ++k) x[k] = v;
    for (std::size_t filled = first; filled < n; filled *= 2)
        std::memcpy(x + filled, x, std::min(filled, n - filled) * sizeof(float));
}

// out[j·so] = a[j·sa] op b[j·sb] for j < cols. The common dense cases go through the slice
// operation: all three column strides 1, or b's 0 (b's single element repeated, in runs of
// tuning::broadcast_run). The results are the same IEEE operations as the element loop.
template <BinaryOp Op>
void map_row(const float* a, std::int64_t sa, const float* b, std::int64_t sb, float* out, std::int64_t so,
             std::uint64_t cols) {
    const auto n = static_cast<std::size_t>(cols);
    if (sa == 1 && so == 1 && sb == 1) {
        Op::slice({a, n}, {b, n}, {out, n});
        return;
    }
    if (sa == 1 && so == 1 && sb == 0 && cols > 1) {
        float repeated[kavrel_ops::domain::tuning::broadcast_run];
        const std::size_t run = std::min<std::size_t>(n, kavrel_ops::domain::tuning::broadcast_run);
        fill_run(repeated, run, *b);
        for (std::size_t j = 0; j < n; j += run) {
            const std::size_t len = std::min(run, n - j);
            Op::slice({a + j, len}, {repeated, len}, {out + j, len});
        }
        return;
    }
    for (std::uint64_t j = 0; j < cols; ++j) {
        *out = Op::element(*a, *b);
        a += sa;
        b += sb;
        out += so;
    }
}

// n rows of the row walk from the row whose offsets are `at`. Later rows add the row strides
// to the first row's offsets, which gives the offsets physical_offset gives (every row start is
// a mapped index of the layouts).
template <BinaryOp Op, bool Checked>
void walk_rows(const StridedWalk& w, Offsets at, std::uint64_t n, const float* a, const float* b, float* out,
               const SerialStorages* storages) {
    const std::uint64_t cols = w.shape[1];
    const std::int64_t sa = w.a.strides[1], sb = w.b.strides[1], so = w.out.strides[1];
    for (std::uint64_t r = 0; r < n; ++r) {
        if (r > 0) {
            if constexpr (Checked) {
                at = {checked_step(at.a, w.a.strides[0]), checked_step(at.b, w.b.strides[0]),
                      checked_step(at.out, w.out.strides[0])};
            } else {
                at = {at.a + w.a.strides[0], at.b + w.b.strides[0], at.out + w.out.strides[0]};
            }
        }
        if constexpr (Checked) {
            // Offsets along a row are linear in the column: both ends inside means all inside.
            require_run_inside(at.out, so, cols, storages->out.size());
            require_run_inside(at.a, sa, cols, storages->a.size());
            require_run_inside(at.b, sb, cols, storages->b.size());
        }
        map_row<Op>(a + at.a, sa, b + at.b, sb, out + at.out, so, cols);
    }
}

// Bands [first, first + n) of the tiled walk: band t holds the rows [(t mod p)·B, +B) with
// p = ceil(rows / B); within a band, column tiles of B in ascending order, and in each the
// band's rows in ascending order, each over the tile's columns in ascending order.
template <BinaryOp Op, bool Checked>
void walk_bands(const StridedWalk& w, Offsets start, std::uint64_t first, std::uint64_t n, const float* a,
                const float* b, float* out, const SerialStorages* storages) {
    const std::uint64_t rows = w.shape[0], cols = w.shape[1];
    const std::uint64_t edge = std::min(w.input_tile, w.output_tile);
    const std::uint64_t per_matrix = rows / edge + (rows % edge != 0 ? 1 : 0);
    for (std::uint64_t t = first; t < first + n; ++t) {
        const std::uint64_t i0 = (t % per_matrix) * edge;
        const std::uint64_t i1 = i0 + std::min(edge, rows - i0);
        for (std::uint64_t j0 = 0, j1 = 0; j0 < cols; j0 = j1) {
            j1 = j0 + std::min(edge, cols - j0);
            for (std::uint64_t i = i0; i < i1; ++i) {
                for (std::uint64_t j = j0; j < j1; ++j) {
                    if constexpr (Checked) {
                        const std::int64_t oo = checked_element_offset(start.out, i, w.out.strides[0], j,
                                                                       w.out.strides[1], storages->out.size());
                        const std::int64_t oa =
                            checked_element_offset(start.a, i, w.a.strides[0], j, w.a.strides[1], storages->a.size());
                        const std::int64_t ob =
                            checked_element_offset(start.b, i, w.b.strides[0], j, w.b.strides[1], storages->b.size());
                        out[oo] = Op::element(a[oa], b[ob]);
                    } else {
                        const auto si = static_cast<std::int64_t>(i), sj = static_cast<std::int64_t>(j);
                        out[start.out + si * w.out.strides[0] + sj * w.out.strides[1]] =
                            Op::element(a[start.a + si * w.a.strides[0] + sj * w.a.strides[1]],
                                        b[start.b + si * w.b.strides[0] + sj * w.b.strides[1]]);
                    }
                }
            }
        }
    }
}

// Bands of the tiled walk per matrix: ceil(rows / B), times count / (rows x cols) (1 at rank 2).
[[nodiscard]] std::uint64_t band_count(const StridedWalk& w) noexcept;

}  // namespace detail

// The unit of the parallel row walk: rows [first, first + n).
template <BinaryOp Op>
struct StridedRowWorker {
    const StridedWalk* walk;
    WalkPointers at;
    void operator()(std::uint64_t first, std::uint64_t n) const {
        detail::walk_rows<Op, false>(*walk, mapped_row_start(*walk, first), n, at.a, at.b, at.out, nullptr);
    }
};

// The unit of the parallel tiled walk: bands [first, first + n).
template <BinaryOp Op>
struct StridedBandWorker {
    const StridedWalk* walk;
    WalkPointers at;
    void operator()(std::uint64_t first, std::uint64_t n) const {
        detail::walk_bands<Op, false>(*walk, mapped_row_start(*walk, 0), first, n, at.a, at.b, at.out, nullptr);
    }
};

// The whole walk on the calling thread, every access checked against its storage (a failed
// check is an internal error). Returns the error of physical_offset, which validated layouts
// never give.
template <BinaryOp Op>
[[nodiscard]] Result<void> strided_serial(const StridedWalk& walk, const SerialStorages& s) {
    const WalkKind kind = choose_walk(walk);
    if (kind == WalkKind::empty) return {};
    auto start = row_start(walk, 0);
    if (!start) return std::unexpected(std::move(start.error()));
    if (kind == WalkKind::rows) {
        detail::walk_rows<Op, true>(walk, *start, walk.count / walk.shape[1], s.a.data(), s.b.data(), s.out.data(), &s);
    } else {
        detail::walk_bands<Op, true>(walk, *start, 0, detail::band_count(walk), s.a.data(), s.b.data(), s.out.data(),
                                     &s);
    }
    return {};
}

// The walk in units on the global executor, the caller taking part: rows at cols x 12 bytes
// each, or bands at B x cols x 12 bytes each (products saturating). Requires: the layouts were
// validated against their storages and the output layout is injective.
template <BinaryOp Op>
void strided_parallel(const StridedWalk& walk, const WalkPointers& at) {
    const WalkKind kind = choose_walk(walk);
    if (kind == WalkKind::empty) return;
    const std::uint64_t row_cost = kavrel::domain::checked::saturating_mul(walk.shape[1], 12);
    if (kind == WalkKind::rows) {
        const StridedRowWorker<Op> worker{&walk, at};
        infrastructure::parallel::schedule_unit_ranges(walk.count / walk.shape[1], row_cost, worker);
    } else {
        const std::uint64_t edge = std::min(walk.input_tile, walk.output_tile);
        const StridedBandWorker<Op> worker{&walk, at};
        infrastructure::parallel::schedule_unit_ranges(detail::band_count(walk), kavrel::domain::checked::saturating_mul(edge, row_cost),
                                                       worker);
    }
}

}  // namespace kavrel_ops::application::strided
