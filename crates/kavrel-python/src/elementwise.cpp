#include "kavrel_python/elementwise.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "kavrel_ops/application/map.hpp"
#include "kavrel_ops/application/matrix/api.hpp"
#include "kavrel_ops/application/reduction/whole_array.hpp"
#include "kavrel_ops/application/vector.hpp"

namespace kavrel_python::elementwise {

namespace {

using kavrel::domain::error::KavrelError;
using kavrel::domain::error::Result;
namespace matrix = kavrel_ops::application::matrix;
using kavrel_ops::application::reduction::whole_array::reduce_all;
using kavrel_ops::application::reduction::whole_array::SumAxis;

constexpr std::size_t max_dynamic_rank = 6;

// The views reaching here were validated, so a failing sum is a broken invariant.
template <std::size_t N>
float sum_view(const ArrayView<float, N>& view) {
    return kavrel::domain::error::expect(reduce_all<SumAxis, N>(view),
                                         "invariant: sum requires a view whose layout fits its storage");
}

template <std::size_t N>
Result<float> sum_rank(const numpy_bridge::ArrayD<const float>& a) {
    auto view = numpy_bridge::fixed_view<N>(a);
    if (!view) return std::unexpected(std::move(view.error()));
    return sum_view(*view);
}

// Dispatches a run-time rank to the fixed-rank sum. Runs without the interpreter lock.
struct DynamicSum {
    Result<float> value;
    std::optional<std::size_t> unsupported_rank;  // set for rank 0 and ranks above 6
};

DynamicSum sum_dynamic(const numpy_bridge::DynInput& input) {
    auto array = numpy_bridge::dyn_array(input);
    if (!array) return {std::unexpected(std::move(array.error())), std::nullopt};
    switch (array->layout.rank()) {
        case 1: return {sum_rank<1>(*array), std::nullopt};
        case 2: return {sum_rank<2>(*array), std::nullopt};
        case 3: return {sum_rank<3>(*array), std::nullopt};
        case 4: return {sum_rank<4>(*array), std::nullopt};
        case 5: return {sum_rank<5>(*array), std::nullopt};
        case 6: return {sum_rank<6>(*array), std::nullopt};
        default: return {0.0f, array->layout.rank()};
    }
}

// The four maps: a new float32 array of a's shape holding a op b, b broadcast to a's shape.
// The map writes every element of the result before anyone can see it, and on failure the
// result is freed unseen, so its memory is not zeroed first: zeros would be one more pass over
// memory as large as the map's own output.
template <kavrel_ops::application::map::MapOp Op>
PyResult<Ref> map_py(CallContext& ctx, const ArrayView<float, 2>& a, const ArrayView<float, 2>& b) {
    auto out = numpy_bridge::output_array<float, 2>(a.layout.shape, numpy_bridge::Contents::overwritten);
    if (!out) return std::unexpected(std::move(out.error()));
    auto done = convention::compute_unlocked(ctx, [&] {
        auto view = out->view_mut();
        return kavrel_ops::application::map::binary_map_with_cache_line<Op>(a, b, view);
    });
    // On failure the result's block is freed with `out`.
    if (!done) return python::value_error(std::move(done.error()));
    return numpy_bridge::array_into_numpy2(std::move(*out));
}

}  // namespace

PyResult<Ref> add_py(CallContext& ctx, const ArrayView<float, 2>& a, const ArrayView<float, 2>& b) {
    return map_py<kavrel_ops::application::map::AddOp>(ctx, a, b);
}

PyResult<Ref> sub_py(CallContext& ctx, const ArrayView<float, 2>& a, const ArrayView<float, 2>& b) {
    return map_py<kavrel_ops::application::map::SubOp>(ctx, a, b);
}

PyResult<Ref> mul_py(CallContext& ctx, const ArrayView<float, 2>& a, const ArrayView<float, 2>& b) {
    return map_py<kavrel_ops::application::map::MulOp>(ctx, a, b);
}

PyResult<Ref> div_py(CallContext& ctx, const ArrayView<float, 2>& a, const ArrayView<float, 2>& b) {
    return map_py<kavrel_ops::application::map::DivOp>(ctx, a, b);
}

PyResult<Ref> sum_py(CallContext& ctx, const ArrayView<float, 2>& a) {
    const float total = ctx.without_lock([&] { return sum_view(a); });
    return convention::float_result(static_cast<double>(total));
}

PyResult<Ref> sum_dyn_py(CallContext& ctx, const numpy_bridge::DynInput& a) {
    DynamicSum result = ctx.without_lock([&] { return sum_dynamic(a); });
    if (result.unsupported_rank)
        return python::value_error("array rank " + std::to_string(*result.unsupported_rank) +
                                   " exceeds the supported dynamic-dispatch rank " + std::to_string(max_dynamic_rank));
    if (!result.value) return python::value_error(result.value.error());
    return convention::float_result(static_cast<double>(*result.value));
}

PyResult<Ref> dot_py(CallContext& ctx, const ArrayView<float, 1>& a, const ArrayView<float, 1>& b) {
    auto d = convention::compute_unlocked(ctx, [&] { return kavrel_ops::application::vector::dot(a, b); });
    if (!d) return python::value_error(std::move(d.error()));
    return convention::float_result(static_cast<double>(*d));
}

PyResult<Ref> matmul_py(CallContext& ctx, const ArrayView<float, 2>& a, const ArrayView<float, 2>& b) {
    if (a.cols() != b.rows()) return python::value_error("Dimension mismatch for matrix multiplication");
    // Overwriting products write every element of C (cleared first where a kernel only adds), so
    // the output needs no zeros of its own: warm heap memory instead of freshly cleared pages.
    auto out = numpy_bridge::output_array<float, 2>({a.rows(), b.cols()}, numpy_bridge::Contents::overwritten);
    if (!out) return std::unexpected(std::move(out.error()));
    auto done = convention::compute_unlocked(ctx, [&] {
        auto c = out->view_mut();
        return matrix::api::matmul_with_tile_policy(a, b, c, matrix::types::Accumulate::overwrite);
    });
    if (!done) return python::value_error(std::move(done.error()));
    return numpy_bridge::array_into_numpy2(std::move(*out));
}

PyResult<Ref> batched_matmul_py(CallContext& ctx, const ArrayView<float, 3>& a, const ArrayView<float, 3>& b) {
    const auto& as = a.layout.shape;
    const auto& bs = b.layout.shape;
    if (as[2] != bs[1]) return python::value_error("Inner dimension mismatch for batched matmul");
    // Every item is an overwriting product (see matmul_py).
    auto out = numpy_bridge::output_array<float, 3>({std::max(as[0], bs[0]), as[1], bs[2]},
                                                    numpy_bridge::Contents::overwritten);
    if (!out) return std::unexpected(std::move(out.error()));
    auto done = convention::compute_unlocked(ctx, [&] {
        auto c = out->view_mut();
        return matrix::api::batched_matmul(a, b, c);
    });
    if (!done) return python::value_error(std::move(done.error()));
    return numpy_bridge::array_into_numpy3(std::move(*out));
}

}  // namespace kavrel_python::elementwise
