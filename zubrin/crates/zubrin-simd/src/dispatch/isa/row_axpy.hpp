// The row updates of a strided output block written once over a lane record (lanes_avx512f.hpp,
// lanes_avx2_fma.hpp, or the portable lanes of kavrel_ops' fallback loops): every output element
// receives its fused multiply-adds in term order, each rounded once, so the variants and the
// portable path agree bit for bit. Included like streaming.hpp and kept in an anonymous namespace
// for the same reason. Row r of the block starts at out[r·out_stride]; the operands were checked
// by the caller.
#pragma once

#include <cstddef>

namespace zubrin_simd::dispatch::isa {
namespace {  // NOLINT: internal linkage on purpose, see above

// out[j] = fma(x[j], c, out[j]) over one row, left to right: groups of four vectors, single
// vectors, then one masked step that neither loads nor stores the absent lanes.
template <class L>
void axpy_row(const typename L::T* x, typename L::T* out, std::size_t cols, typename L::V c) {
    constexpr std::size_t w = L::width;
    std::size_t j = 0;
    for (; j + 4 * w <= cols; j += 4 * w) {
        L::store(out + j, L::fma(L::load(x + j), c, L::load(out + j)));
        L::store(out + j + w, L::fma(L::load(x + j + w), c, L::load(out + j + w)));
        L::store(out + j + 2 * w, L::fma(L::load(x + j + 2 * w), c, L::load(out + j + 2 * w)));
        L::store(out + j + 3 * w, L::fma(L::load(x + j + 3 * w), c, L::load(out + j + 3 * w)));
    }
    for (; j + w <= cols; j += w) L::store(out + j, L::fma(L::load(x + j), c, L::load(out + j)));
    if (j == cols) return;
    const auto m = L::tail_mask(cols - j);
    // Absent x lanes read as one (a factor that raises no flag), absent out lanes as zero.
    L::store_tail(out + j, m, L::fma(L::load_tail_factor(m, x + j), c, L::load_tail(m, out + j)));
}

// out[r·out_stride + j] = fma(x[j], coeffs[r], ·) for every row r in order.
template <class L>
void axpy_rows(const typename L::T* coeffs, const typename L::T* x, typename L::T* out, std::size_t out_stride,
               std::size_t rows, std::size_t cols) {
    for (std::size_t r = 0; r < rows; ++r) axpy_row<L>(x, out + r * out_stride, cols, L::splat(coeffs[r]));
}

// One output vector of row r through a chain of K terms: acc = out; acc = fma(x_p, c_p, acc) for
// p = 0 .. K − 1; out = acc. x_p is the same columns of vector p, x + p·cols.
template <class L, std::size_t K>
void axpy_rows_batch_fixed(const typename L::T* coeffs, const typename L::T* x, typename L::T* out,
                           std::size_t out_stride, std::size_t rows, std::size_t cols) {
    using V = typename L::V;
    constexpr std::size_t w = L::width;
    for (std::size_t r = 0; r < rows; ++r) {
        V c[K];
        for (std::size_t p = 0; p < K; ++p) c[p] = L::splat(coeffs[p * rows + r]);
        typename L::T* row = out + r * out_stride;
        std::size_t j = 0;
        for (; j + w <= cols; j += w) {
            V acc = L::load(row + j);
            for (std::size_t p = 0; p < K; ++p) acc = L::fma(L::load(x + p * cols + j), c[p], acc);
            L::store(row + j, acc);
        }
        if (j == cols) continue;
        const auto m = L::tail_mask(cols - j);
        // Absent x lanes read as one (a factor that raises no flag), absent out lanes as zero.
        V acc = L::load_tail(m, row + j);
        for (std::size_t p = 0; p < K; ++p) acc = L::fma(L::load_tail_factor(m, x + p * cols + j), c[p], acc);
        L::store_tail(row + j, m, acc);
    }
}

// The same chain for any k: the coefficients are broadcast per step instead of held in registers.
template <class L>
void axpy_rows_batch_any(const typename L::T* coeffs, const typename L::T* x, typename L::T* out,
                         std::size_t out_stride, std::size_t rows, std::size_t k, std::size_t cols) {
    using V = typename L::V;
    constexpr std::size_t w = L::width;
    for (std::size_t r = 0; r < rows; ++r) {
        typename L::T* row = out + r * out_stride;
        std::size_t j = 0;
        for (; j + w <= cols; j += w) {
            V acc = L::load(row + j);
            for (std::size_t p = 0; p < k; ++p) {
                acc = L::fma(L::load(x + p * cols + j), L::splat(coeffs[p * rows + r]), acc);
            }
            L::store(row + j, acc);
        }
        if (j == cols) continue;
        const auto m = L::tail_mask(cols - j);
        // Absent x lanes read as one (a factor that raises no flag), absent out lanes as zero.
        V acc = L::load_tail(m, row + j);
        for (std::size_t p = 0; p < k; ++p) {
            acc = L::fma(L::load_tail_factor(m, x + p * cols + j), L::splat(coeffs[p * rows + r]), acc);
        }
        L::store_tail(row + j, m, acc);
    }
}

// Callers pass k from 1 to 4 (those chains keep their coefficients in registers); a longer batch
// still applies every term, in order, rather than dropping the ones past the fourth.
template <class L>
void axpy_rows_batch(const typename L::T* coeffs, const typename L::T* x, typename L::T* out,
                     std::size_t out_stride, std::size_t rows, std::size_t k, std::size_t cols) {
    switch (k) {
        case 1: axpy_rows_batch_fixed<L, 1>(coeffs, x, out, out_stride, rows, cols); return;
        case 2: axpy_rows_batch_fixed<L, 2>(coeffs, x, out, out_stride, rows, cols); return;
        case 3: axpy_rows_batch_fixed<L, 3>(coeffs, x, out, out_stride, rows, cols); return;
        case 4: axpy_rows_batch_fixed<L, 4>(coeffs, x, out, out_stride, rows, cols); return;
        default: axpy_rows_batch_any<L>(coeffs, x, out, out_stride, rows, k, cols); return;
    }
}

}  // namespace
}  // namespace zubrin_simd::dispatch::isa
