#include "kavrel_ops/application/matrix/api.hpp"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <utility>

#include "dravik_parallel/ops.hpp"
#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/contiguous.hpp"
#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/layout/kernels.hpp"
#include "kavrel_ops/application/index.hpp"
#include "kavrel_ops/application/matrix/dispatch.hpp"
#include "kavrel_ops/application/matrix/generic_kernel.hpp"
#include "kavrel_ops/application/matrix/packing.hpp"
#include "kavrel_ops/domain/tuning.hpp"

namespace kavrel_ops::application::matrix::api {

namespace {

using kavrel::application::array::types::Array;
using kavrel::domain::error::KavrelError;
using kavrel::domain::error::ShapeMismatch;
using kavrel::domain::layout::Layout;
namespace kernels = kavrel::domain::layout::kernels;
namespace checked = kavrel::domain::checked;

// --- The output-layout front end ---------------------------------------------------------

template <class T>
Result<ArrayView<T, 2>> transposed(const ArrayView<T, 2>& v) {
    auto layout = v.layout.transpose({1, 0});
    if (!layout) return std::unexpected(std::move(layout.error()));
    return ArrayView<T, 2>{v.ptr, v.len, *layout};
}

// Cᵀ = Bᵀ·Aᵀ is a product into a row-major output; no element is copied.
template <class T>
Result<void> transposed_product(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                                Accumulate accumulate) {
    auto at = transposed(a);
    if (!at) return std::unexpected(std::move(at.error()));
    auto bt = transposed(b);
    if (!bt) return std::unexpected(std::move(bt.error()));
    auto ct_layout = c.layout.transpose({1, 0});
    if (!ct_layout) return std::unexpected(std::move(ct_layout.error()));
    ArrayViewMut<T, 2> ct{c.ptr, *ct_layout, c.len, c.window_shared};
    return dispatch::route_matmul(*bt, *at, ct, accumulate);
}

// An output that is neither row- nor column-major: the product goes into a row-major temporary
// holding C's starting values (zeros when overwriting), which is then written back.
template <class T>
Result<void> product_through_temporary(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                                       Accumulate accumulate) {
    // The router checks the temporary, not C: C gets the same checks here, before its values are
    // read and before a write-back could land two elements on one storage slot.
    if (auto r = types::validate_matmul(a, b, c); !r) return std::unexpected(std::move(r.error()));
    Array<T, 2> temporary = accumulate == Accumulate::add
                                ? kavrel::application::view::contiguous::to_contiguous(ArrayView<T, 2>(c))
                                : Array<T, 2>::from_elem(c.layout.shape);
    auto target = ArrayViewMut<T, 2>::of(temporary);
    if (auto r = dispatch::route_matmul(a, b, target, Accumulate::add); !r) return r;
    return packing::copy_back_to_out(std::span<const T>(temporary.data(), temporary.len()), c);
}

// --- The batched product -----------------------------------------------------------------

constexpr const char* item_invariant = "invariant: batch submatrix layout derives from a validated parent";
constexpr const char* window_invariant = "layout physical offsets must be non-negative and fit in usize";

// The matrices of one three-axis operand: all have the extents and strides of item 0, and item i
// lies i·batch_stride elements further (batch_stride 0 for a broadcast operand). Item 0's layout
// and bounds are checked once; each item's shift is checked as the item is taken, which checks
// the item's bounds as fully. The parent passed validate_storage, so no check can fail short of a
// broken invariant.
struct ItemLayouts {
    Layout<2> first;
    std::int64_t batch_stride;
    std::int64_t low;   // item 0's lowest storage index
    std::int64_t high;  // and its highest

    static ItemLayouts of(const Layout<3>& parent, std::int64_t batch_stride) {
        const Layout<2> first{{parent.shape[1], parent.shape[2]}, {parent.strides[1], parent.strides[2]}, parent.offset};
        if (auto r = first.check_bounds(); !r) kavrel::domain::error::fail_unexpected(item_invariant, r.error());
        const auto bounds = kernels::min_max_offsets(first.shape, first.strides, first.offset);
        if (!bounds) kavrel::domain::error::fail_unexpected(window_invariant, bounds.error());
        return {first, batch_stride, bounds->first, bounds->second};
    }

    // Item i's offset, and its lowest storage index in `low_out`.
    std::uint64_t offset_of(std::uint64_t i, std::uint64_t& low_out) const {
        const std::int64_t shift = checked::expect(checked::mul<std::int64_t>(i, batch_stride), item_invariant);
        const std::int64_t offset = checked::expect(checked::add<std::int64_t>(first.offset, shift), item_invariant);
        const std::int64_t low_i = checked::expect(checked::add(low, shift), item_invariant);
        (void)checked::expect(checked::add(high, shift), item_invariant);
        if (offset < 0) kavrel::domain::error::fail_invariant(item_invariant);
        if (low_i < 0) kavrel::domain::error::fail_invariant(item_invariant);
        low_out = static_cast<std::uint64_t>(low_i);
        return static_cast<std::uint64_t>(offset);
    }

    // Checks items 0 and count − 1 (count ≥ 1) as offset_of does. An item's offset and lowest and
    // highest indices are affine in its number, so every item between lies within those two and
    // offset_at needs no check of its own.
    void check_items(std::uint64_t count) const {
        std::uint64_t low;
        (void)offset_of(0, low);
        (void)offset_of(count - 1, low);
    }

    // Item i's offset, for i below a count that check_items passed.
    std::uint64_t offset_at(std::uint64_t i) const noexcept {
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(first.offset) +
                                          static_cast<std::int64_t>(i) * batch_stride);
    }

    // Item i's layout, and its lowest storage index in `low_out`.
    Layout<2> item(std::uint64_t i, std::uint64_t& low_out) const {
        Layout<2> l = first;
        l.offset = offset_of(i, low_out);
        return l;
    }
};

// Everything an item needs, on the driver's stack and read by every item.
struct Items {
    const float* a;
    const float* b;
    float* out;
    std::uint64_t a_len;
    std::uint64_t b_len;
    std::uint64_t out_len;
    ItemLayouts a_items;
    ItemLayouts b_items;
    ItemLayouts out_items;
    detail::ItemProduct product;

    ArrayView<float, 2> a_item(std::uint64_t i) const {
        std::uint64_t low;
        return {a, a_len, a_items.item(i, low)};
    }
    ArrayView<float, 2> b_item(std::uint64_t i) const {
        std::uint64_t low;
        return {b, b_len, b_items.item(i, low)};
    }

    // Output item i over the whole storage of out.
    ArrayViewMut<float, 2> out_item(std::uint64_t i) const {
        std::uint64_t low;
        return {out, out_items.item(i, low), out_len, 0};
    }

    // Output item i over exactly the storage run it reaches, so that no slice of it can touch a
    // sibling item's elements.
    ArrayViewMut<float, 2> own_out_item(std::uint64_t i) const {
        std::uint64_t low;
        Layout<2> l = out_items.item(i, low);
        l.offset -= low;
        const auto window = static_cast<std::uint64_t>(out_items.high - out_items.low) + 1;
        return {out + low, l, window, 0};
    }
};

// The first item error of a shared-path product and the flag that tells later items to skip.
struct FirstError {
    std::mutex lock;
    std::optional<KavrelError> error;  // under lock: the first error stored, later ones dropped
    std::atomic<bool> stop{false};     // set under lock, read without it

    void record(KavrelError&& e) {
        const std::lock_guard<std::mutex> guard(lock);
        if (!error) error = std::move(e);
        // Relaxed: the flag only saves work; the error itself travels under the lock.
        stop.store(true, std::memory_order_relaxed);
    }
};

Result<void> shared_items(const Items& items, std::uint64_t count) {
    FirstError first;
    dravik_parallel::ops::for_each_index_with<dravik_parallel::policy::Adaptive>(count, [&](std::uint64_t i) {
        if (first.stop.load(std::memory_order_relaxed)) return;  // a stale read only costs one product
        const auto a = items.a_item(i);
        const auto b = items.b_item(i);
        auto c = items.own_out_item(i);
        if (auto r = items.product(a, b, c); !r) first.record(std::move(r.error()));
    });
    const std::lock_guard<std::mutex> guard(first.lock);
    if (first.error) return std::unexpected(std::move(*first.error));
    return {};
}

// The items of a batch share their shapes and strides, and each lies inside storage that has
// been checked whole, so the router's checks and choices come out the same for every item. When
// they send item 0 to the generic kernels without operand copies, every item goes there directly
// with item 0's geometry at its own offsets: no item can fail, and each gets the arithmetic (and
// the serial or parallel split) the router would have given it. Saves the per-item checks, which
// cost several times a small product.
std::optional<dispatch::GenericPlan> direct_item_plan(const Items& items) {
    const auto a = items.a_item(0);
    const auto b = items.b_item(0);
    const auto c = items.own_out_item(0);
    if (!kavrel::domain::layout::is_c_contiguous(c.layout)) return std::nullopt;  // the front end's first path
    return dispatch::direct_generic_plan(a, b, c);
}

// Each item's output is a view over the whole of out at the item's offset: the same elements as
// its own window, and only the offsets change from item to item.
Result<void> shared_direct_items(const Items& items, std::uint64_t count, const dispatch::GenericPlan& first) {
    using dravik_parallel::ops::for_each_index_with;
    using dravik_parallel::policy::Adaptive;
    items.a_items.check_items(count);
    items.b_items.check_items(count);
    items.out_items.check_items(count);
    // Items that share B read one packed copy of its panels, made here for all their blocks; an
    // item with its own B packs it once for its blocks.
    const std::uint64_t m = first.dims.m, block = kavrel_ops::domain::tuning::tile_policy_block_rows;
    const std::uint64_t item_blocks = (m + block - 1) / block;
    std::optional<generic_kernel::SharedPanels<float>> shared;
    if (items.b_items.batch_stride == 0)
        shared = generic_kernel::pack_shared_b(items.b, first.dims, std::min(block, m), count * item_blocks);
    const generic_kernel::SharedPanels<float>* panels = shared ? &*shared : nullptr;
    if (first.dense) {
        // Each item from its own first elements: only the three pointers change.
        types::MatmulDims dims = first.dims;
        dims.a_offset = dims.b_offset = dims.c_offset = 0;
        // The path chosen once for all items: for a 4×4 item, choosing it costs as much as the product.
        const auto nest = kavrel_ops::domain::scalar::slice_kernels::current<float>().tiled_gemm;
        for_each_index_with<Adaptive>(count, [&](std::uint64_t i) {
            generic_kernel::dense_overwrite(items.a + items.a_items.offset_at(i), items.b + items.b_items.offset_at(i),
                                            items.out + items.out_items.offset_at(i), dims, panels, nest);
        });
        return {};
    }
    for_each_index_with<Adaptive>(count, [&](std::uint64_t i) {
        dispatch::GenericPlan plan = first;
        plan.dims.a_offset = items.a_items.offset_at(i);
        plan.dims.b_offset = items.b_items.offset_at(i);
        plan.dims.c_offset = items.out_items.offset_at(i);
        Layout<2> c_layout = items.out_items.first;
        c_layout.offset = plan.dims.c_offset;
        ArrayViewMut<float, 2> c{items.out, c_layout, items.out_len, 0};
        dispatch::run_generic(items.a, items.b, c, plan, Accumulate::overwrite, panels);
    });
    return {};
}

Result<void> serial_items(const Items& items, std::uint64_t count) {
    if (count == 0) return {};
    const std::uint64_t m = items.a_items.first.shape[0], k = items.a_items.first.shape[1];
    const std::uint64_t n = items.b_items.first.shape[1];
    (void)checked::expect(checked::mul(m, k), item_invariant);
    (void)checked::expect(checked::mul(k, n), item_invariant);
    (void)checked::expect(checked::mul(m, n), item_invariant);
    for (std::uint64_t i = 0; i < count; ++i) {
        const auto a = items.a_item(i);
        const auto b = items.b_item(i);
        auto c = items.out_item(i);
        if (auto r = items.product(a, b, c); !r) return r;
    }
    return {};
}

// The step from one item of an operand to the next: 0 for a broadcast operand, and 0 for items
// without elements (k = 0), which are all the same empty matrix whatever the stride says; NumPy
// calls such an array C-contiguous with any strides, negative ones included.
std::int64_t operand_batch_stride(const Layout<3>& l) noexcept {
    if (l.shape[0] == 1 || l.shape[1] == 0 || l.shape[2] == 0) return 0;
    return l.strides[0];
}

template <std::size_t N>
Result<void> fits_storage(const Layout<N>& l, std::uint64_t len) {
    return kernels::validate_storage(l.shape, l.strides, l.offset, len);
}

Result<void> overwriting_product(const ArrayView<float, 2>& a, const ArrayView<float, 2>& b,
                                 ArrayViewMut<float, 2>& c) {
    return matmul_with_tile_policy(a, b, c, Accumulate::overwrite);
}

}  // namespace

template <ScalarElement T>
Result<void> matmul_with_tile_policy(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                                     Accumulate accumulate) {
    // Refused once, here, so every path below gives the same error for it.
    if (c.window_shared) return index::validate_mutable_output(c, "matmul");
    if (kavrel::domain::layout::is_c_contiguous(c.layout)) return dispatch::route_matmul(a, b, c, accumulate);
    if (kavrel::domain::layout::is_f_contiguous(c.layout)) return transposed_product(a, b, c, accumulate);
    return product_through_temporary(a, b, c, accumulate);
}

Result<void> batched_matmul(const ArrayView<float, 3>& a, const ArrayView<float, 3>& b, ArrayViewMut<float, 3>& out) {
    return detail::batched_matmul_with(a, b, out, overwriting_product, true);
}

namespace detail {

bool items_own_disjoint_storage(const Layout<3>& out) noexcept {
    const std::uint64_t count = out.shape[0], m = out.shape[1], n = out.shape[2];
    if (count < 2 || m < 1 || n < 1) return false;
    // One item reaches rows_span + cols_span + 1 elements from its first.
    const auto rows_span = checked::mul(m - 1, checked::magnitude(out.strides[1]));
    if (!rows_span) return false;
    const auto span = checked::mul_add(n - 1, checked::magnitude(out.strides[2]), *rows_span);
    if (!span) return false;
    const auto reach = checked::add(*span, std::uint64_t{1});
    if (!reach) return false;
    return checked::magnitude(out.strides[0]) >= *reach;
}

Result<void> batched_matmul_with(const ArrayView<float, 3>& a, const ArrayView<float, 3>& b,
                                 ArrayViewMut<float, 3>& out, ItemProduct product, bool direct_items) {
    const auto& as = a.layout.shape;
    const auto& bs = b.layout.shape;
    const auto& os = out.layout.shape;
    const std::uint64_t count = os[0];
    const bool batches_fit = (as[0] == count || as[0] == 1) && (bs[0] == count || bs[0] == 1);
    if (!batches_fit || as[2] != bs[1] || as[1] != os[1] || bs[2] != os[2])
        return std::unexpected(KavrelError(ShapeMismatch{{as.begin(), as.end()}, {bs.begin(), bs.end()}}));
    if (auto r = fits_storage(a.layout, a.len); !r) return r;
    if (auto r = fits_storage(b.layout, b.len); !r) return r;
    if (auto r = fits_storage(out.layout, out.len); !r) return r;
    // A result without elements costs nothing, whatever the batch count.
    if (count == 0 || os[1] == 0 || os[2] == 0) return {};
    const Items items{a.ptr,
                      b.ptr,
                      out.ptr,
                      a.len,
                      b.len,
                      out.len,
                      ItemLayouts::of(a.layout, operand_batch_stride(a.layout)),
                      ItemLayouts::of(b.layout, operand_batch_stride(b.layout)),
                      ItemLayouts::of(out.layout, out.layout.strides[0]),
                      product};
    if (items_own_disjoint_storage(out.layout)) {
        if (direct_items) {
            if (const auto first = direct_item_plan(items)) return shared_direct_items(items, count, *first);
        }
        return shared_items(items, count);
    }
    return serial_items(items, count);
}

}  // namespace detail

template Result<void> matmul_with_tile_policy<float>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                                     ArrayViewMut<float, 2>&, Accumulate);
template Result<void> matmul_with_tile_policy<double>(const ArrayView<double, 2>&, const ArrayView<double, 2>&,
                                                      ArrayViewMut<double, 2>&, Accumulate);

}  // namespace kavrel_ops::application::matrix::api
