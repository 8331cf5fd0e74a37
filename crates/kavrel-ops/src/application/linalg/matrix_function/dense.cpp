#include "kavrel_ops/application/linalg/matrix_function/dense.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/application/iter/element/element_iter.hpp"
#include "kavrel/application/view/mutable_core.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel/domain/layout/layout.hpp"
#include "kavrel_ops/application/matrix/api.hpp"

namespace kavrel_ops::application::linalg::matrix_function::dense {

namespace checked = kavrel::domain::checked;

namespace {

using kavrel::application::iter::element::element_iter::ElementIter;

// The view's elements as one row-major run inside its storage, when they are.
std::optional<std::span<const double>> row_major_run(const ArrayView<double, 2>& v) {
    if (!kavrel::domain::layout::is_c_contiguous(v.layout)) return std::nullopt;
    return kavrel::application::view::immutable::contiguous_window(v);
}

// out[i] = op(a[i], b[i]) over the elements both views have, in logical row-major order, as an
// array of a's shape.
template <class Op>
Array<double, 2> combine(const ArrayView<double, 2>& a, const ArrayView<double, 2>& b, Op op, const char* invariant) {
    std::vector<double> out;
    const auto ra = row_major_run(a), rb = row_major_run(b);
    if (ra && rb) {
        const std::size_t count = std::min(ra->size(), rb->size());
        out.resize(count);
        const double* x = ra->data();
        const double* y = rb->data();
        for (std::size_t i = 0; i < count; ++i) out[i] = op(x[i], y[i]);
    } else {
        auto ia = ElementIter<double, 2>::make(a), ib = ElementIter<double, 2>::make(b);
        out.reserve(std::min(ia.remaining(), ib.remaining()));
        for (auto x = ia.next(), y = ib.next(); x && y; x = ia.next(), y = ib.next()) out.push_back(op(*x, *y));
    }
    return kavrel::domain::error::expect(Array<double, 2>::from_vec(a.layout.shape, std::move(out)), invariant);
}

}  // namespace

Array<double, 2> add(const ArrayView<double, 2>& a, const ArrayView<double, 2>& b) {
    return combine(a, b, [](double x, double y) { return x + y; }, "sum storage matches shape");
}

Array<double, 2> sub(const ArrayView<double, 2>& a, const ArrayView<double, 2>& b) {
    return combine(a, b, [](double x, double y) { return x - y; }, "difference storage matches shape");
}

Array<double, 2> scale(const ArrayView<double, 2>& a, double f) {
    std::vector<double> out;
    if (const auto run = row_major_run(a)) {
        out.resize(run->size());
        const double* x = run->data();
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = x[i] * f;
    } else {
        auto it = ElementIter<double, 2>::make(a);
        out.reserve(it.remaining());
        while (auto x = it.next()) out.push_back(*x * f);
    }
    return kavrel::domain::error::expect(Array<double, 2>::from_vec(a.layout.shape, std::move(out)),
                                         "scaled storage matches shape");
}

Result<Array<double, 2>> mul(const ArrayView<double, 2>& a, const ArrayView<double, 2>& b) {
    const std::uint64_t m = a.rows(), n = b.cols();
    // m·n zeros; the product's own validation reports any shape mismatch. Only views of empty
    // operands can name an m·n beyond 64 bits.
    const auto count = checked::mul(m, n);
    if (!count) return kavrel::domain::error::overflow("layout shape product");
    auto c = kavrel::domain::error::expect(Array<double, 2>::from_vec({m, n}, std::vector<double>(*count, 0.0)),
                                           "product storage matches shape");
    auto out = kavrel::application::view::mutable_core::ArrayViewMut<double, 2>::of(c);
    namespace matrix = kavrel_ops::application::matrix;
    if (auto done = matrix::api::matmul_with_tile_policy<double>(a, b, out, matrix::types::Accumulate::overwrite); !done)
        return std::unexpected(std::move(done.error()));
    return c;
}

}  // namespace kavrel_ops::application::linalg::matrix_function::dense
