// The general-purpose product kernels: the row-blocked kernel, which adds A·B into a range of C's
// rows block by block (dense operands through tiled_gemm, others through the row-axpy kernels),
// the per-row loop used when B or C lacks unit column stride, and the serial and parallel
// drivers of the router's generic path. All of them only add into C; none takes heap memory.
// Each output row always receives the same arithmetic, however the rows are split into units.
#pragma once

#include <cstdint>
#include <optional>

#include "kavrel_ops/application/matrix/types.hpp"
#include "kavrel_ops/domain/scalar/shared_panels.hpp"
#include "kavrel_ops/domain/scalar/slice_kernels.hpp"

namespace kavrel_ops::application::matrix::generic_kernel {

using kavrel_ops::domain::scalar::shared_panels::SharedPanels;
using kavrel_ops::domain::scalar::slice_kernels::GemmNest;
namespace slice_kernels = kavrel_ops::domain::scalar::slice_kernels;
using types::MatmulDims;
using types::ScalarElement;

// C[i, j] += Σ_p A[i, p]·B[p, j] for row_start ≤ i < row_end, in blocks of `block` rows (the
// last one shorter; every caller passes tuning::tile_policy_block_rows). a, b and c are the
// storage bases of A, B and C (element 0 of each storage); dims addresses every element. Paths
// per call:
// - all three dense row-major (row strides k, n, n; column strides 1): tiled_gemm per block, the
//   order of tiled_gemm;
// - small (dims.m < tuning::small_product_rows, B's row stride ≠ n or C's row stride < n), C's
//   row stride ≥ n: one axpy_rows per column p of A, p increasing;
// - small, C's row stride < n: one axpy_slice per A[i, p], p outer and i inner, but for an
//   exactly zero entry before a finite row p of B, which adds nothing (types::ZeroSkip);
// - otherwise: one axpy_rows_batch per group of tuning::group_columns columns of A, groups in
//   order.
// The dense path reads B's full panels from `shared` when given (pack_shared_b of this B), and
// otherwise makes one tiled_gemm call per block; either way every block gets tiled_gemm's bits.
// Requires: B and C have column stride 1; dims comes from validate_matmul; row_end ≤ dims.m.
// A block that is not a power of two from 1 to 32 stops with an internal error before anything
// is written. Reentrant: concurrent calls on disjoint row ranges of one C are safe.
template <ScalarElement T>
void row_blocked_matmul_with_policy(const T* a, const T* b, T* c, std::uint64_t row_start, std::uint64_t row_end,
                                    const MatmulDims& dims, std::uint64_t block,
                                    const SharedPanels<T>* shared = nullptr);

// B's full panels (from dims.b_offset) packed once for `blocks` dense products of block_rows rows
// each over this B (the blocks of one product, or of the items of a batch that share B), the
// panels split among the executor's participants; nothing when there is one block, the operands
// are not all dense, or tiled_gemm would not pack B for such a block. Its blocks then give the
// bits of one tiled_gemm call each.
template <ScalarElement T>
[[nodiscard]] std::optional<SharedPanels<T>> pack_shared_b(const T* b, const MatmulDims& dims,
                                                           std::uint64_t block_rows, std::uint64_t blocks);

// The row loop: C[i, ·] += A[i, ·]·B, nothing when k = 0. Contributions arrive one p at a time in
// increasing p; an exactly zero A[i, p] (either sign) is skipped where row p of B is finite
// (types::ZeroSkip), so 0·inf and 0·NaN give NaN as on every other path. With B's and C's column
// strides both 1 each entry taken is one axpy_slice (fused multiply-add); otherwise every
// element is C[i, j] = B[p, j]·a + C[i, j], rounded twice. Requires: dims from validate_matmul.
template <ScalarElement T>
void matmul_row(const T* a, const T* b, T* c, const MatmulDims& dims, std::uint64_t i);

// The generic product on the calling thread, adding into C: the row-blocked kernel over all rows
// when m ≥ 2, k > 0, n > 0 and B and C have column stride 1; nothing when m or k is 0; the row
// loop over every row otherwise.
template <ScalarElement T>
void serial_matmul(const T* a, const T* b, T* c, const MatmulDims& dims, const SharedPanels<T>* shared = nullptr);

// True when serial_matmul runs the dense path: m ≥ 2, k > 0, n > 0 and A, B and C dense
// row-major (row strides k, n and n, column strides 1).
[[nodiscard]] bool takes_dense_path(const MatmulDims& dims) noexcept;

// C = A·B on the calling thread for a product that takes_dense_path: C's m·n elements set to
// +0.0, then serial_matmul's arithmetic through `nest`, the current path's product nest. For runs
// of many small products (a batch, which takes the nest once for all items), where the general
// entries' per-call work outweighs the product itself.
template <ScalarElement T>
void dense_overwrite(const T* a, const T* b, T* c, const MatmulDims& dims, const SharedPanels<T>* shared = nullptr,
                     GemmNest<T> nest = slice_kernels::current<T>().tiled_gemm);

// The same on the global executor, adding into C: ceil(m / tuning::tile_policy_block_rows)
// row-block units when k > 0, n > 0 and B and C have column stride 1, else m row units, through
// for_each_index_with (Parallel). With clear_rows each unit first sets its own rows of C to +0.0
// (packing::zero_rows), which makes the whole an overwriting product. Dense blocks read B's
// panels from `shared`, or from one packed copy made here for all units (pack_shared_b). Inside a
// worker or the caller's own chunk every unit runs inline, in order. A failure in a unit stops
// with the executor's internal error after every chunk has ended.
template <ScalarElement T>
void parallel_matmul(const T* a, const T* b, T* c, const MatmulDims& dims, bool clear_rows = false,
                     const SharedPanels<T>* shared = nullptr);

extern template void row_blocked_matmul_with_policy<float>(const float*, const float*, float*, std::uint64_t,
                                                           std::uint64_t, const MatmulDims&, std::uint64_t,
                                                           const SharedPanels<float>*);
extern template void row_blocked_matmul_with_policy<double>(const double*, const double*, double*, std::uint64_t,
                                                            std::uint64_t, const MatmulDims&, std::uint64_t,
                                                            const SharedPanels<double>*);
extern template std::optional<SharedPanels<float>> pack_shared_b<float>(const float*, const MatmulDims&,
                                                                        std::uint64_t, std::uint64_t);
extern template std::optional<SharedPanels<double>> pack_shared_b<double>(const double*, const MatmulDims&,
                                                                          std::uint64_t, std::uint64_t);
extern template void matmul_row<float>(const float*, const float*, float*, const MatmulDims&, std::uint64_t);
extern template void matmul_row<double>(const double*, const double*, double*, const MatmulDims&, std::uint64_t);
extern template void serial_matmul<float>(const float*, const float*, float*, const MatmulDims&,
                                          const SharedPanels<float>*);
extern template void serial_matmul<double>(const double*, const double*, double*, const MatmulDims&,
                                           const SharedPanels<double>*);
extern template void dense_overwrite<float>(const float*, const float*, float*, const MatmulDims&,
                                            const SharedPanels<float>*, GemmNest<float>);
extern template void dense_overwrite<double>(const double*, const double*, double*, const MatmulDims&,
                                             const SharedPanels<double>*, GemmNest<double>);
extern template void parallel_matmul<float>(const float*, const float*, float*, const MatmulDims&, bool,
                                            const SharedPanels<float>*);
extern template void parallel_matmul<double>(const double*, const double*, double*, const MatmulDims&, bool,
                                             const SharedPanels<double>*);

}  // namespace kavrel_ops::application::matrix::generic_kernel
