// The entry points of the matrix-product engine. matmul_with_tile_policy computes C = A·B or
// C += A·B into an output view of any layout (row-major outputs directly, column-major ones as
// the transposed product, others through a row-major temporary written back); batched_matmul
// multiplies two stacks of matrices item by item with batch broadcasting, on the executor when
// the output items own disjoint storage. Every product of the system enters here.
#pragma once

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/application/view/mutable_core.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel/domain/layout/layout.hpp"
#include "kavrel_ops/application/matrix/types.hpp"

namespace kavrel_ops::application::matrix::api {

using kavrel::application::view::immutable::ArrayView;
using kavrel::application::view::mutable_core::ArrayViewMut;
using kavrel::domain::error::Result;
using types::Accumulate;
using types::ScalarElement;

// C = A·B (Accumulate::overwrite: C's previous values are never read) or C = C + A·B
// (Accumulate::add), A m×k and B k×n read-only views, C an m×n writable view, all of any strides.
// The tile policy is fixed: blocks of tuning::tile_policy_block_rows rows (generic_kernel).
//
// Errors, returned before anything is written to C:
// - a view whose window_shared flag is set: StorageError "matmul output must exclusively own its
//   storage window (interleaved iterator-yielded sub-views are rejected)", before any other check;
// - then those of validate_matmul (types.hpp), in its order. For a column-major C (neither
//   row-major) the product is solved as Cᵀ = Bᵀ·Aᵀ, so a ShapeMismatch names Bᵀ's and Aᵀ's
//   shapes: A 2×3, B 4×5 give lhs [5, 4], rhs [3, 2] there, lhs [2, 3], rhs [4, 5] otherwise.
//
// Row- and column-major C cost no copy; any other C costs a row-major temporary of C's size and
// one write-back. Large products (dispatch::runs_in_parallel, m counted in C's rows or, for a
// column-major C, its columns) run on the global executor, the calling thread taking part; from
// an executor worker or inside a caller's own chunk they run inline. Each element of C receives
// the same arithmetic however the work is split, so results do not depend on the worker count.
// A failure inside the executor stops with the internal error "dravik global executor:
// for_each_index_with: ..." with C partly written. Allocation failures of the temporary or of an
// operand copy throw std::bad_alloc.
//
// Instances: float (the Python functions and batched_matmul, overwriting) and double (the LU
// trailing update, adding; the matrix exponential, overwriting).
template <ScalarElement T>
[[nodiscard]] Result<void> matmul_with_tile_policy(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b,
                                                   ArrayViewMut<T, 2>& c, Accumulate accumulate);

// out[i] = a[i']·b[i''] for every i < B, out of shape [B, m, n], a [Ba, m, k] and b [Bb, k, n],
// where an operand with a batch count of 1 serves every i (i' = 0) and otherwise i' = i. Every
// item goes through matmul_with_tile_policy (overwrite).
// Errors, in this order, nothing written: ShapeMismatch {lhs: a's shape, rhs: b's shape} unless Ba
// and Bb are each B or 1 and the inner extents agree with each other and with out's; then the
// validate_storage error of a, b, out. An item's error comes back as the product's error, the
// items computed so far left written: the lowest failing item's below 1024 items (every later
// item skipped), otherwise the first one stored (items not started yet are skipped).
// A result without elements (B, m or n zero) returns once the checks pass, in time independent
// of the batch counts; an operand whose items have no elements (k = 0) is read at no offset.
// Paths: when B ≥ 2, m ≥ 1, n ≥ 1 and out's batch stride spans at least one output item (so no
// two items share an element), the items run through for_each_index_with (Adaptive: on the
// calling thread in order below 1024 items, in executor chunks from 1024 on); otherwise, or when
// that span overflows, in order on the calling thread.
[[nodiscard]] Result<void> batched_matmul(const ArrayView<float, 3>& a, const ArrayView<float, 3>& b,
                                          ArrayViewMut<float, 3>& out);

extern template Result<void> matmul_with_tile_policy<float>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                                            ArrayViewMut<float, 2>&, Accumulate);
extern template Result<void> matmul_with_tile_policy<double>(const ArrayView<double, 2>&,
                                                             const ArrayView<double, 2>&, ArrayViewMut<double, 2>&,
                                                             Accumulate);

// Implementation details

namespace detail {

// The product of one batch item; matmul_with_tile_policy<float> with Accumulate::overwrite in the
// shipped build. Tests substitute one that fails on chosen items.
using ItemProduct = Result<void> (*)(const ArrayView<float, 2>& a, const ArrayView<float, 2>& b,
                                     ArrayViewMut<float, 2>& c);

// With direct_items (the shipped build; `product` must then be that overwriting product), items
// that the router would run on the generic kernels without operand copies skip it on the shared
// path: item 0's geometry is checked and routed once and every item runs those kernels with it.
// Without, every item goes through `product`.
[[nodiscard]] Result<void> batched_matmul_with(const ArrayView<float, 3>& a, const ArrayView<float, 3>& b,
                                               ArrayViewMut<float, 3>& out, ItemProduct product,
                                               bool direct_items = false);

// True when the items of out (B of them, m×n each) own disjoint storage: B ≥ 2, m ≥ 1, n ≥ 1 and
// |batch stride| ≥ (m − 1)·|row stride| + (n − 1)·|column stride| + 1, in checked arithmetic (an
// overflow is false).
[[nodiscard]] bool items_own_disjoint_storage(const kavrel::domain::layout::Layout<3>& out) noexcept;

}  // namespace detail

}  // namespace kavrel_ops::application::matrix::api
