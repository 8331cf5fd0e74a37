// The strided float64 matrix-vector loops written once over a lane record (lanes_avx512f.hpp or
// lanes_avx2_fma.hpp), so both instruction-set variants share one statement of every order.
// Included only by instruction-set units, after their lanes header, and kept in an anonymous
// namespace like the lanes. Row i of A starts at a[i·lda]; the operands were checked by the caller.
#pragma once

#include <cstddef>

namespace zubrin_simd::dispatch::isa {
namespace {  // NOLINT: internal linkage on purpose, see above

// One row's accumulator step over the column vectors [0, full_end), two vectors per step: lane l
// takes the columns l, l + w, l + 2w, … in increasing order, each step rounded once.
template <class L>
typename L::V gemv_row_full(const double* row, const double* x, std::size_t full_end, typename L::V acc) {
    constexpr std::size_t w = L::width;
    std::size_t j = 0;
    for (; j + 2 * w <= full_end; j += 2 * w) {
        acc = L::fma(L::load(row + j), L::load(x + j), acc);
        acc = L::fma(L::load(row + j + w), L::load(x + j + w), acc);
    }
    if (j < full_end) acc = L::fma(L::load(row + j), L::load(x + j), acc);
    return acc;
}

// y[i] = halving_sum(acc_i) + y[i], acc_i starting at +0 and taking the full column vectors of
// row i, then the column tail as one masked step. Rows go four at a time (sharing each loaded x
// vector), the rest one at a time; every row gets the same arithmetic either way.
template <class L>
void gemv(const double* a, const double* x, double* y, std::size_t rows, std::size_t cols, std::size_t lda) {
    using V = typename L::V;
    constexpr std::size_t w = L::width;
    const std::size_t full_end = cols - cols % w;
    const bool has_tail = full_end != cols;
    const auto m = L::tail_mask(cols - full_end);
    // Absent x lanes read as zero and absent A lanes as one (a factor that raises no flag), so
    // each absent lane adds the product +0.
    const V x_tail = has_tail ? L::load_tail(m, x + full_end) : L::zero();
    std::size_t i = 0;
    for (; i + 4 <= rows; i += 4) {
        const double* r0 = a + i * lda;
        const double* r1 = r0 + lda;
        const double* r2 = r1 + lda;
        const double* r3 = r2 + lda;
        V acc0 = L::zero(), acc1 = L::zero(), acc2 = L::zero(), acc3 = L::zero();
        std::size_t j = 0;
        for (; j + 2 * w <= full_end; j += 2 * w) {
            const V x0 = L::load(x + j);
            const V x1 = L::load(x + j + w);
            acc0 = L::fma(L::load(r0 + j), x0, acc0);
            acc1 = L::fma(L::load(r1 + j), x0, acc1);
            acc2 = L::fma(L::load(r2 + j), x0, acc2);
            acc3 = L::fma(L::load(r3 + j), x0, acc3);
            acc0 = L::fma(L::load(r0 + j + w), x1, acc0);
            acc1 = L::fma(L::load(r1 + j + w), x1, acc1);
            acc2 = L::fma(L::load(r2 + j + w), x1, acc2);
            acc3 = L::fma(L::load(r3 + j + w), x1, acc3);
        }
        if (j < full_end) {
            const V x0 = L::load(x + j);
            acc0 = L::fma(L::load(r0 + j), x0, acc0);
            acc1 = L::fma(L::load(r1 + j), x0, acc1);
            acc2 = L::fma(L::load(r2 + j), x0, acc2);
            acc3 = L::fma(L::load(r3 + j), x0, acc3);
        }
        if (has_tail) {
            acc0 = L::fma(L::load_tail_factor(m, r0 + full_end), x_tail, acc0);
            acc1 = L::fma(L::load_tail_factor(m, r1 + full_end), x_tail, acc1);
            acc2 = L::fma(L::load_tail_factor(m, r2 + full_end), x_tail, acc2);
            acc3 = L::fma(L::load_tail_factor(m, r3 + full_end), x_tail, acc3);
        }
        y[i] = L::halving_sum(acc0) + y[i];
        y[i + 1] = L::halving_sum(acc1) + y[i + 1];
        y[i + 2] = L::halving_sum(acc2) + y[i + 2];
        y[i + 3] = L::halving_sum(acc3) + y[i + 3];
    }
    for (; i < rows; ++i) {
        const double* row = a + i * lda;
        V acc = gemv_row_full<L>(row, x, full_end, L::zero());
        if (has_tail) acc = L::fma(L::load_tail_factor(m, row + full_end), x_tail, acc);
        y[i] = L::halving_sum(acc) + y[i];
    }
}

// y[j] = fma(A(i, j), x[i], y[j]) for i = 0 .. rows − 1 in order: y itself accumulates, so every
// column sees the same fused steps whichever block holds it. Blocks of four vectors take the rows
// two at a time, single vectors four at a time, the masked column tail two at a time.
template <class L>
void gemv_transpose(const double* a, const double* x, double* y, std::size_t rows, std::size_t cols,
                    std::size_t lda) {
    using V = typename L::V;
    constexpr std::size_t w = L::width;
    const std::size_t full_end = cols - cols % w;
    std::size_t j = 0;
    for (; j + 4 * w <= full_end; j += 4 * w) {
        V y0 = L::load(y + j), y1 = L::load(y + j + w), y2 = L::load(y + j + 2 * w), y3 = L::load(y + j + 3 * w);
        std::size_t i = 0;
        for (; i + 2 <= rows; i += 2) {
            const double* r = a + i * lda + j;
            const V xa = L::splat(x[i]);
            const V xb = L::splat(x[i + 1]);
            y0 = L::fma(L::load(r), xa, y0);
            y1 = L::fma(L::load(r + w), xa, y1);
            y2 = L::fma(L::load(r + 2 * w), xa, y2);
            y3 = L::fma(L::load(r + 3 * w), xa, y3);
            y0 = L::fma(L::load(r + lda), xb, y0);
            y1 = L::fma(L::load(r + lda + w), xb, y1);
            y2 = L::fma(L::load(r + lda + 2 * w), xb, y2);
            y3 = L::fma(L::load(r + lda + 3 * w), xb, y3);
        }
        if (i < rows) {
            const double* r = a + i * lda + j;
            const V xa = L::splat(x[i]);
            y0 = L::fma(L::load(r), xa, y0);
            y1 = L::fma(L::load(r + w), xa, y1);
            y2 = L::fma(L::load(r + 2 * w), xa, y2);
            y3 = L::fma(L::load(r + 3 * w), xa, y3);
        }
        L::store(y + j, y0);
        L::store(y + j + w, y1);
        L::store(y + j + 2 * w, y2);
        L::store(y + j + 3 * w, y3);
    }
    for (; j < full_end; j += w) {
        V acc = L::load(y + j);
        std::size_t i = 0;
        for (; i + 4 <= rows; i += 4) {
            const double* r = a + i * lda + j;
            acc = L::fma(L::load(r), L::splat(x[i]), acc);
            acc = L::fma(L::load(r + lda), L::splat(x[i + 1]), acc);
            acc = L::fma(L::load(r + 2 * lda), L::splat(x[i + 2]), acc);
            acc = L::fma(L::load(r + 3 * lda), L::splat(x[i + 3]), acc);
        }
        for (; i < rows; ++i) acc = L::fma(L::load(a + i * lda + j), L::splat(x[i]), acc);
        L::store(y + j, acc);
    }
    if (j == cols) return;
    const auto m = L::tail_mask(cols - j);
    // Absent y lanes read as zero and absent A lanes as one: they raise no flag and are never stored.
    V acc = L::load_tail(m, y + j);
    std::size_t i = 0;
    for (; i + 2 <= rows; i += 2) {
        const double* r = a + i * lda + j;
        acc = L::fma(L::load_tail_factor(m, r), L::splat(x[i]), acc);
        acc = L::fma(L::load_tail_factor(m, r + lda), L::splat(x[i + 1]), acc);
    }
    if (i < rows) acc = L::fma(L::load_tail_factor(m, a + i * lda + j), L::splat(x[i]), acc);
    L::store_tail(y + j, m, acc);
}

}  // namespace
}  // namespace zubrin_simd::dispatch::isa
