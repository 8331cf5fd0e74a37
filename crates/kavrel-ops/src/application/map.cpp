#include "kavrel_ops/application/map.hpp"

#include <limits>

#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/layout/kernels.hpp"
#include "kavrel_ops/application/index.hpp"
#include "kavrel_ops/infrastructure/parallel.hpp"

namespace kavrel_ops::application::map {

namespace {

namespace kernels = kavrel::domain::layout::kernels;
namespace checked = kavrel::domain::checked;
using kavrel::domain::layout::Layout;
using strided::StridedWalk;

// The input's layout seen with the output's shape: broadcast strides, the input's offset.
Result<Layout<2>> broadcast_input(const ArrayView<float, 2>& x, const std::array<std::uint64_t, 2>& shape) {
    Layout<2> l{shape, {}, x.layout.offset};
    if (auto r = kernels::broadcast_strides(x.layout.shape, x.layout.strides, l.shape, l.strides); !r)
        return std::unexpected(std::move(r.error()));
    if (auto n = kernels::element_count(l.shape); !n) return std::unexpected(std::move(n.error()));
    if (auto r = kernels::min_max_offsets(l.shape, l.strides, l.offset); !r) return std::unexpected(std::move(r.error()));
    return l;
}

template <MapOp Op>
Result<void> strided_route(const ArrayView<float, 2>& a, const ArrayView<float, 2>& b, ArrayViewMut<float, 2>& out) {
    for (const ArrayView<float, 2>* x : {&a, &b}) {
        if (auto r = kernels::validate_storage(x->layout.shape, x->layout.strides, x->layout.offset, x->len); !r)
            return r;
    }
    if (auto r = index::validate_mutable_output(out, output_label); !r) return r;
    const std::array<std::uint64_t, 2> shape = out.layout.shape;
    const auto product = checked::mul(shape[0], shape[1]);
    if (!product) return kavrel::domain::error::overflow("layout shape product");
    const std::uint64_t count = *product;
    auto a_walk = broadcast_input(a, shape);
    if (!a_walk) return std::unexpected(std::move(a_walk.error()));
    auto b_walk = b.layout.broadcast(shape);
    if (!b_walk) return std::unexpected(std::move(b_walk.error()));
    const auto geometry = infrastructure::cache::cached_cache_geometry::GEOMETRY.get();
    const std::uint64_t tile = tile_elements(geometry);
    const StridedWalk walk{shape, *a_walk, *b_walk, count, out.layout, tile, tile};
    if (goes_parallel(count, geometry)) {
        strided::strided_parallel<Op>(walk, {a.ptr, b.ptr, out.ptr});
        return {};
    }
    const auto n = [](std::uint64_t len) { return static_cast<std::size_t>(len); };
    return strided::strided_serial<Op>(walk, {{out.ptr, n(out.len)}, {a.ptr, n(a.len)}, {b.ptr, n(b.len)}});
}

}  // namespace

Result<void> validate_binary_shapes(const ArrayView<float, 2>& a, const ArrayView<float, 2>& b,
                                    const ArrayViewMut<float, 2>& out) {
    for (const ArrayView<float, 2>* x : {&a, &b}) {
        if (auto l = broadcast_input(*x, out.layout.shape); !l) return std::unexpected(std::move(l.error()));
    }
    return {};
}

std::optional<DenseWindows> dense_windows(const ArrayView<float, 2>& a, const ArrayView<float, 2>& b,
                                          const ArrayViewMut<float, 2>& out) {
    const auto& l = out.layout;
    if (a.layout.shape != l.shape || b.layout.shape != l.shape || a.layout.strides != l.strides ||
        b.layout.strides != l.strides)
        return std::nullopt;
    // One layout up to the offsets: contiguous_window's test once, its bounds per view.
    if (!kavrel::domain::layout::is_c_contiguous(l) && !kavrel::domain::layout::is_f_contiguous(l)) return std::nullopt;
    const auto count = l.element_count();
    if (!count) return std::nullopt;
    if (!checked::ends_within(a.layout.offset, *count, a.len)) return std::nullopt;
    if (!checked::ends_within(b.layout.offset, *count, b.len)) return std::nullopt;
    if (!checked::ends_within(l.offset, *count, out.len)) return std::nullopt;
    const auto n = static_cast<std::size_t>(*count);
    return DenseWindows{{a.ptr + a.layout.offset, n}, {b.ptr + b.layout.offset, n}, {out.ptr + l.offset, n}};
}

std::uint64_t traffic_bytes(std::uint64_t elements) noexcept { return checked::saturating_mul(elements, 12); }

bool goes_parallel(std::uint64_t elements, const infrastructure::cache::CacheGeometry& g) noexcept {
    return traffic_bytes(elements) > g.l3_bytes;
}

std::uint64_t tile_elements(const infrastructure::cache::CacheGeometry& g) noexcept {
    if (g.line_bytes == 0) return std::numeric_limits<std::uint64_t>::max();
    return std::max<std::uint64_t>(g.line_bytes / sizeof(float), 1);
}

template <MapOp Op>
void SliceChunkWorker<Op>::operator()(std::uint64_t first, std::span<float> shard) const {
    // The three windows have one length, so a shard of the output always has its inputs.
    if (first > a.size() || shard.size() > a.size() - first || a.size() != b.size())
        kavrel::domain::error::fail_invariant("invariant: output shard lies inside the input windows");
    Op::slice(a.subspan(first, shard.size()), b.subspan(first, shard.size()), shard);
}

template <MapOp Op>
void parallel_slice_into(std::span<const float> a, std::span<const float> b, std::span<float> out) {
    const SliceChunkWorker<Op> worker{a, b};
    infrastructure::parallel::schedule_unit_runs_mut(out, worker);
}

template <MapOp Op>
Result<void> binary_map_with_cache_line(const ArrayView<float, 2>& a, const ArrayView<float, 2>& b,
                                        ArrayViewMut<float, 2>& out) {
    if (auto r = validate_binary_shapes(a, b, out); !r) return r;
    const auto windows = dense_windows(a, b, out);
    if (!windows) return strided_route<Op>(a, b, out);
    // A window shared with sibling views is never taken whole; the strided route's check
    // gives the same error.
    if (out.window_shared) return index::validate_mutable_output(out, output_label);
    // No other output check is needed here: the windows are exactly the memory touched.
    if (goes_parallel(windows->out.size(), infrastructure::cache::cached_cache_geometry::GEOMETRY.get())) {
        parallel_slice_into<Op>(windows->a, windows->b, windows->out);
    } else {
        Op::slice(windows->a, windows->b, windows->out);
    }
    return {};
}

template struct SliceChunkWorker<AddOp>;
template struct SliceChunkWorker<SubOp>;
template struct SliceChunkWorker<MulOp>;
template struct SliceChunkWorker<DivOp>;
template void parallel_slice_into<AddOp>(std::span<const float>, std::span<const float>, std::span<float>);
template void parallel_slice_into<SubOp>(std::span<const float>, std::span<const float>, std::span<float>);
template void parallel_slice_into<MulOp>(std::span<const float>, std::span<const float>, std::span<float>);
template void parallel_slice_into<DivOp>(std::span<const float>, std::span<const float>, std::span<float>);
template Result<void> binary_map_with_cache_line<AddOp>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                                        ArrayViewMut<float, 2>&);
template Result<void> binary_map_with_cache_line<SubOp>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                                        ArrayViewMut<float, 2>&);
template Result<void> binary_map_with_cache_line<MulOp>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                                        ArrayViewMut<float, 2>&);
template Result<void> binary_map_with_cache_line<DivOp>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                                        ArrayViewMut<float, 2>&);

}  // namespace kavrel_ops::application::map
