#include "kavrel_ops/application/matrix/generic_kernel.hpp"

#include <algorithm>
#include <atomic>
#include <array>
#include <optional>

#include "dravik_parallel/ops.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/matrix/packing.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"
#include "kavrel_ops/domain/scalar/shared_panels.hpp"
#include "kavrel_ops/domain/scalar/slice_kernels.hpp"
#include "kavrel_ops/domain/tuning.hpp"

namespace kavrel_ops::application::matrix::generic_kernel {

namespace {

using kavrel_ops::domain::scalar::contract::Scalar;
namespace shared_panels = kavrel_ops::domain::scalar::shared_panels;
namespace tuning = kavrel_ops::domain::tuning;
using types::element_index;
using types::run;
using types::stride_below;
using types::stride_equals;

// The group buffer of the grouped path: tuning::group_columns columns of A for the largest
// block.
constexpr std::uint64_t group_buffer_elements = tuning::group_columns * tuning::tile_policy_block_rows;

template <class T>
T a_at(const T* a, const MatmulDims& d, std::uint64_t i, std::uint64_t p) {
    return a[element_index(d.a_offset, d.a_row_stride, d.a_col_stride, i, p)];
}

// Row p of B and row i of C as runs of n elements (unit column stride).
template <class T>
std::span<const T> b_row(const T* b, const MatmulDims& d, std::uint64_t p) {
    return run(b, element_index(d.b_offset, d.b_row_stride, 1, p, 0), d.n);
}
template <class T>
std::span<T> c_row(T* c, const MatmulDims& d, std::uint64_t i) {
    return run(c, element_index(d.c_offset, d.c_row_stride, 1, i, 0), d.n);
}

// `rows` rows of C from row r, C's row stride apart, as one run for the row-axpy kernels.
// Requires: C's row stride ≥ n ≥ 0.
template <class T>
std::span<T> c_rows(T* c, const MatmulDims& d, std::uint64_t r, std::uint64_t rows) {
    const std::uint64_t length = (rows - 1) * static_cast<std::uint64_t>(d.c_row_stride) + d.n;
    return run(c, element_index(d.c_offset, d.c_row_stride, 1, r, 0), length);
}

bool all_dense(const MatmulDims& d) {
    return stride_equals(d.a_row_stride, d.k) && d.a_col_stride == 1 && stride_equals(d.b_row_stride, d.n) &&
           d.b_col_stride == 1 && stride_equals(d.c_row_stride, d.n) && d.c_col_stride == 1;
}

}  // namespace

template <ScalarElement T>
std::optional<SharedPanels<T>> pack_shared_b(const T* b, const MatmulDims& dims, std::uint64_t block_rows,
                                             std::uint64_t blocks) {
    if (blocks < 2 || !all_dense(dims)) return std::nullopt;
    auto panels = shared_panels::plan_shared_panels(run(b, dims.b_offset, dims.k * dims.n), block_rows, dims.n, dims.k);
    if (!panels) return std::nullopt;
    dravik_parallel::ops::for_each_index_with<dravik_parallel::policy::Parallel>(
        panels->count, *panels, [](SharedPanels<T>& p, std::uint64_t q) { shared_panels::pack_shared_panels(p, q, q + 1); });
    return panels;
}

namespace {

// Rows [first, last) of a dense product over B's shared panels, as one product: each panel serves
// all of the range's rows while it is in cache, instead of one block of rows and then the next
// panel. Every element gets the chain of its own block's tiled_gemm (no path changes a chain).
template <class T>
void dense_rows_over_panels(const T* a, T* c, std::uint64_t first, std::uint64_t last, const MatmulDims& d,
                            const SharedPanels<T>& shared) {
    const std::uint64_t rows = last - first;
    shared_panels::tiled_gemm_shared(run(a, d.a_offset + first * d.k, rows * d.k), shared,
                                     run(c, d.c_offset + first * d.n, rows * d.n), rows);
}

// B's shared panels: `given` when there are, else panels packed into `own` for the blocks of
// rows [row_start, row_end) where tiled_gemm would pack them for each (null when it would not).
template <class T, std::uint64_t Block>
const SharedPanels<T>* panels_for(std::optional<SharedPanels<T>>& own, const SharedPanels<T>* given, const T* b,
                                  const MatmulDims& d, std::uint64_t row_start, std::uint64_t row_end) {
    const std::uint64_t rows = row_end - row_start;
    // One block packs its own panels, when it needs them, inside its tiled_gemm call.
    if (given != nullptr || rows <= Block) return given;
    own = pack_shared_b(b, d, Block, (rows + Block - 1) / Block);
    return own ? &*own : nullptr;
}

// Dense operands: one register-tiled product per block with B read whole by each, through the
// nest of the CPU path taken once by the caller (the lengths hold by dims). With shared panels
// the blocks run as one product over them; without, a block that reaches the packing threshold
// packs its own (tiled_gemm fills its panels as the first row group reads B).
template <class T, std::uint64_t Block>
void dense_blocks(const T* a, const T* b, T* c, std::uint64_t row_start, std::uint64_t row_end, const MatmulDims& d,
                  const SharedPanels<T>* shared, GemmNest<T> nest) {
    if (shared != nullptr) {
        dense_rows_over_panels(a, c, row_start, row_end, d, *shared);
        return;
    }
    for (std::uint64_t r = row_start; r < row_end; r += Block) {
        const std::uint64_t rows = std::min(Block, row_end - r);
        nest(a + d.a_offset + r * d.k, b + d.b_offset, c + d.c_offset + r * d.n, rows, d.n, d.k);
    }
}

// Small products with separate rows of C: one axpy_rows per column of A over the block's rows.
template <class T, std::uint64_t Block>
void column_block(const T* a, const T* b, T* c, std::uint64_t r0, std::uint64_t rows, const MatmulDims& d) {
    std::array<T, Block> column;
    const auto out = c_rows(c, d, r0, rows);
    for (std::uint64_t p = 0; p < d.k; ++p) {
        column.fill(T{});
        for (std::uint64_t r = 0; r < rows; ++r) column[r] = a_at(a, d, r0 + r, p);
        Scalar<T>::axpy_rows(std::span<const T>(column.data(), rows), b_row(b, d, p), out,
                             static_cast<std::uint64_t>(d.c_row_stride), rows, d.n);
    }
}

// B's rows as ZeroSkip reads them.
template <class T>
types::ZeroSkip<T> zero_skip(const T* b, const MatmulDims& d) {
    return {b, d.b_offset, d.b_row_stride, d.b_col_stride, d.n, d.k};
}

// Small products whose C rows may overlap in storage order (row stride < n, or negative): one
// axpy per entry of A, but for the zeros that ZeroSkip lets go.
template <class T>
void zero_skipping_block(const T* a, const T* b, T* c, std::uint64_t r0, std::uint64_t rows, const MatmulDims& d) {
    auto zero = zero_skip(b, d);
    for (std::uint64_t p = 0; p < d.k; ++p) {
        for (std::uint64_t i = r0; i < r0 + rows; ++i) {
            const T v = a_at(a, d, i, p);
            if (types::skips(zero, v, p)) continue;
            Scalar<T>::axpy_slice(b_row(b, d, p), c_row(c, d, i), v);
        }
    }
}

// Larger products: tuning::group_columns columns of A per pass over the block of C, packed
// term-major (entry q·rows + r = A[r0 + r, p0 + q]). B's rows are back to back here (row stride n).
template <class T>
void grouped_block(const T* a, const T* b, T* c, std::uint64_t r0, std::uint64_t rows, const MatmulDims& d) {
    std::array<T, group_buffer_elements> group;
    const auto out = c_rows(c, d, r0, rows);
    for (std::uint64_t p0 = 0; p0 < d.k; p0 += tuning::group_columns) {
        const std::uint64_t count = std::min(tuning::group_columns, d.k - p0);
        group.fill(T{});
        for (std::uint64_t q = 0; q < count; ++q)
            for (std::uint64_t r = 0; r < rows; ++r) group[q * rows + r] = a_at(a, d, r0 + r, p0 + q);
        Scalar<T>::axpy_rows_batch(std::span<const T>(group.data(), count * rows), run(b, d.b_offset + p0 * d.n, count * d.n),
                                   out, static_cast<std::uint64_t>(d.c_row_stride), rows, count, d.n);
    }
}

template <class T, std::uint64_t Block>
void row_blocked(const T* a, const T* b, T* c, std::uint64_t row_start, std::uint64_t row_end, const MatmulDims& d,
                 const SharedPanels<T>* shared) {
    static_assert(Block >= 1 && Block <= tuning::tile_policy_block_rows && (Block & (Block - 1)) == 0);
    if (row_end <= row_start) return;
    if (all_dense(d)) {
        dense_blocks<T, Block>(a, b, c, row_start, row_end, d, shared, slice_kernels::current<T>().tiled_gemm);
        return;
    }
    const bool small =
        d.m < tuning::small_product_rows || !stride_equals(d.b_row_stride, d.n) || stride_below(d.c_row_stride, d.n);
    if (d.k == 0) return;
    for (std::uint64_t r = row_start; r < row_end; r += Block) {
        const std::uint64_t rows = std::min(Block, row_end - r);
        if (!small) {
            grouped_block(a, b, c, r, rows, d);
        } else if (!stride_below(d.c_row_stride, d.n)) {
            column_block<T, Block>(a, b, c, r, rows, d);
        } else {
            zero_skipping_block(a, b, c, r, rows, d);
        }
    }
}

}  // namespace

// The policy's block is one of the copies below.
static_assert(tuning::tile_policy_block_rows <= 32 &&
              (tuning::tile_policy_block_rows & (tuning::tile_policy_block_rows - 1)) == 0);

template <ScalarElement T>
void row_blocked_matmul_with_policy(const T* a, const T* b, T* c, std::uint64_t row_start, std::uint64_t row_end,
                                    const MatmulDims& dims, std::uint64_t block, const SharedPanels<T>* shared) {
    switch (block) {
        case 1: return row_blocked<T, 1>(a, b, c, row_start, row_end, dims, shared);
        case 2: return row_blocked<T, 2>(a, b, c, row_start, row_end, dims, shared);
        case 4: return row_blocked<T, 4>(a, b, c, row_start, row_end, dims, shared);
        case 8: return row_blocked<T, 8>(a, b, c, row_start, row_end, dims, shared);
        case 16: return row_blocked<T, 16>(a, b, c, row_start, row_end, dims, shared);
        case 32: return row_blocked<T, 32>(a, b, c, row_start, row_end, dims, shared);
        default:
            kavrel::domain::error::fail_invariant(
                "internal error: entered unreachable code: matmul tile policy must return a power-of-two block <= 32");
    }
}

namespace {

// The row loop for row i, zero entries of A judged through `zero`.
template <class T>
void row_loop(const T* a, const T* b, T* c, const MatmulDims& d, std::uint64_t i, types::ZeroSkip<T>& zero) {
    if (d.k == 0) return;
    if (d.b_col_stride == 1 && d.c_col_stride == 1) {
        const auto out = c_row(c, d, i);
        for (std::uint64_t p = 0; p < d.k; ++p) {
            const T v = a_at(a, d, i, p);
            if (types::skips(zero, v, p)) continue;
            Scalar<T>::axpy_slice(b_row(b, d, p), out, v);
        }
        return;
    }
    if (d.n == 0) return;
    for (std::uint64_t p = 0; p < d.k; ++p) {
        const T v = a_at(a, d, i, p);
        if (types::skips(zero, v, p)) continue;
        for (std::uint64_t j = 0; j < d.n; ++j) {
            T& out = c[element_index(d.c_offset, d.c_row_stride, d.c_col_stride, i, j)];
            const T product = b[element_index(d.b_offset, d.b_row_stride, d.b_col_stride, p, j)] * v;
            out = product + out;
        }
    }
}

}  // namespace

template <ScalarElement T>
void matmul_row(const T* a, const T* b, T* c, const MatmulDims& d, std::uint64_t i) {
    auto zero = zero_skip(b, d);
    row_loop(a, b, c, d, i, zero);
}

namespace {

template <class T>
bool row_blocked_applies(const MatmulDims& d) {
    return d.k > 0 && d.n > 0 && d.b_col_stride == 1 && d.c_col_stride == 1;
}

// f(first, last) for runs of units covering [0, units) once, claimed from one counter by one
// participant per processor: a run is one product over its rows (with shared panels, every
// panel serves all of them while in cache), and a participant that starts late leaves its share
// to the others. The former split, one chunk per worker and the caller, put two chunks on one
// processor and had the caller run one of them after its own: 1.5 times one core's rate on two
// cores, against about 1.9 for this.
template <class F>
void claim_runs(std::uint64_t units, F&& f) {
    const std::uint64_t slots = std::min(dravik_parallel::ops::balanced_participants(), units);
    const std::uint64_t run = std::max<std::uint64_t>(1, units / (tuning::claims_per_participant * slots));
    std::atomic<std::uint64_t> next{0};
    dravik_parallel::ops::for_each_index_with<dravik_parallel::policy::Parallel>(slots, [&](std::uint64_t) {
        for (std::uint64_t first = next.fetch_add(run); first < units; first = next.fetch_add(run))
            f(first, std::min(first + run, units));
    });
}

}  // namespace

template <ScalarElement T>
void serial_matmul(const T* a, const T* b, T* c, const MatmulDims& dims, const SharedPanels<T>* shared) {
    if (dims.m >= 2 && row_blocked_applies<T>(dims)) {
        std::optional<SharedPanels<T>> own;
        shared = panels_for<T, tuning::tile_policy_block_rows>(own, shared, b, dims, 0, dims.m);
        row_blocked_matmul_with_policy(a, b, c, 0, dims.m, dims, tuning::tile_policy_block_rows, shared);
        return;
    }
    if (dims.m == 0 || dims.k == 0) return;
    auto zero = zero_skip(b, dims);  // one verdict per row of B for all rows of C
    for (std::uint64_t i = 0; i < dims.m; ++i) row_loop(a, b, c, dims, i, zero);
}

bool takes_dense_path(const MatmulDims& dims) noexcept {
    return dims.m >= 2 && dims.k > 0 && dims.n > 0 && all_dense(dims);
}

template <ScalarElement T>
void dense_overwrite(const T* a, const T* b, T* c, const MatmulDims& dims, const SharedPanels<T>* shared,
                     GemmNest<T> nest) {
    constexpr std::uint64_t block = tuning::tile_policy_block_rows;
    std::fill_n(c + dims.c_offset, dims.m * dims.n, T{});
    std::optional<SharedPanels<T>> own;
    dense_blocks<T, block>(a, b, c, 0, dims.m, dims, panels_for<T, block>(own, shared, b, dims, 0, dims.m), nest);
}


template <ScalarElement T>
void parallel_matmul(const T* a, const T* b, T* c, const MatmulDims& dims, bool clear_rows,
                     const SharedPanels<T>* shared) {
    if (row_blocked_applies<T>(dims)) {
        constexpr std::uint64_t block = tuning::tile_policy_block_rows;
        const std::uint64_t units = dims.m / block + (dims.m % block != 0);
        std::optional<SharedPanels<T>> own;
        shared = panels_for<T, block>(own, shared, b, dims, 0, dims.m);
        claim_runs(units, [&](std::uint64_t first, std::uint64_t last) {
            const std::uint64_t start = first * block, end = std::min(last * block, dims.m);
            if (clear_rows) packing::zero_rows(dims, c, start, end);
            row_blocked_matmul_with_policy(a, b, c, start, end, dims, block, shared);
        });
        return;
    }
    dravik_parallel::ops::for_each_index_with<dravik_parallel::policy::Parallel>(dims.m, [&](std::uint64_t i) {
        if (clear_rows) packing::zero_rows(dims, c, i, i + 1);
        matmul_row(a, b, c, dims, i);
    });
}

template void row_blocked_matmul_with_policy<float>(const float*, const float*, float*, std::uint64_t, std::uint64_t,
                                                    const MatmulDims&, std::uint64_t, const SharedPanels<float>*);
template void row_blocked_matmul_with_policy<double>(const double*, const double*, double*, std::uint64_t,
                                                     std::uint64_t, const MatmulDims&, std::uint64_t,
                                                     const SharedPanels<double>*);
template void matmul_row<float>(const float*, const float*, float*, const MatmulDims&, std::uint64_t);
template void matmul_row<double>(const double*, const double*, double*, const MatmulDims&, std::uint64_t);
template std::optional<SharedPanels<float>> pack_shared_b<float>(const float*, const MatmulDims&, std::uint64_t,
                                                                 std::uint64_t);
template std::optional<SharedPanels<double>> pack_shared_b<double>(const double*, const MatmulDims&, std::uint64_t,
                                                                   std::uint64_t);
template void serial_matmul<float>(const float*, const float*, float*, const MatmulDims&, const SharedPanels<float>*);
template void serial_matmul<double>(const double*, const double*, double*, const MatmulDims&,
                                    const SharedPanels<double>*);
template void dense_overwrite<float>(const float*, const float*, float*, const MatmulDims&, const SharedPanels<float>*,
                                     GemmNest<float>);
template void dense_overwrite<double>(const double*, const double*, double*, const MatmulDims&,
                                      const SharedPanels<double>*, GemmNest<double>);
template void parallel_matmul<float>(const float*, const float*, float*, const MatmulDims&, bool,
                                     const SharedPanels<float>*);
template void parallel_matmul<double>(const double*, const double*, double*, const MatmulDims&, bool,
                                      const SharedPanels<double>*);

}  // namespace kavrel_ops::application::matrix::generic_kernel
