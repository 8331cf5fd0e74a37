#include "kavrel_ops/application/matrix/dispatch.hpp"

#include <optional>

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/contiguous.hpp"
#include "kavrel/domain/layout/layout.hpp"
#include "kavrel_ops/application/matrix/dot_outer_kernels.hpp"
#include "kavrel_ops/application/matrix/generic_kernel.hpp"
#include "kavrel_ops/application/matrix/packing.hpp"

namespace kavrel_ops::application::matrix::dispatch {

namespace {

using kavrel::application::array::types::Array;
using kavrel::domain::layout::is_c_contiguous;
using kavrel::domain::layout::is_f_contiguous;
namespace kernels = dot_outer_kernels;

template <class T>
void dot_kernel(bool parallel, const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                Accumulate accumulate) {
    if (parallel) {
        kernels::parallel_dot_matmul(a, b, c, accumulate);
    } else {
        kernels::serial_dot_matmul(a, b, c, accumulate);
    }
}

template <class T>
void outer_kernel(bool parallel, const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                  Accumulate accumulate) {
    if (parallel) {
        kernels::parallel_outer_matmul(a, b, c, accumulate);
    } else {
        kernels::serial_outer_matmul(a, b, c, accumulate);
    }
}

// An operand as the generic kernels read it: the view itself when row-major, else a view of a
// row-major copy that `copy` owns.
template <class T>
ArrayView<T, 2> row_major_operand(const ArrayView<T, 2>& v, bool row_major, std::optional<Array<T, 2>>& copy) {
    if (row_major) return v;
    copy.emplace(kavrel::application::view::contiguous::to_contiguous(v));
    return ArrayView<T, 2>::of(*copy);
}

// The generic path. `dims` validated A, B and C as given; a copy gets its product validated
// again, while operands used as they are keep the geometry already checked (the same views give
// the same answer).
template <class T>
Result<void> generic_product(bool parallel, const ArrayView<T, 2>& a, bool a_row, const ArrayView<T, 2>& b, bool b_row,
                             ArrayViewMut<T, 2>& c, Accumulate accumulate, types::MatmulDims dims) {
    std::optional<Array<T, 2>> a_copy, b_copy;
    const ArrayView<T, 2> a_used = row_major_operand(a, a_row, a_copy);
    const ArrayView<T, 2> b_used = row_major_operand(b, b_row, b_copy);
    if (a_copy || b_copy) {
        auto again = types::validate_matmul(a_used, b_used, c);
        if (!again) return std::unexpected(std::move(again.error()));
        dims = *again;
    }
    if (accumulate == Accumulate::overwrite) packing::zero_output(dims, c);
    if (parallel) {
        generic_kernel::parallel_matmul(a_used.ptr, b_used.ptr, c.ptr, dims);
    } else {
        generic_kernel::serial_matmul(a_used.ptr, b_used.ptr, c.ptr, dims);
    }
    return {};
}

}  // namespace

bool runs_in_parallel(std::uint64_t m, std::uint64_t k, std::uint64_t n) noexcept {
    if (m < parallel_min_rows) return false;
    std::uint64_t mk, mkn;
    if (__builtin_mul_overflow(m, k, &mk) || __builtin_mul_overflow(mk, n, &mkn)) return true;  // saturated
    return mkn >= parallel_min_multiply_adds;
}

template <ScalarElement T>
Result<void> route_matmul(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                          Accumulate accumulate) {
    const auto dims = types::validate_matmul(a, b, c);
    if (!dims) return std::unexpected(dims.error());
    const bool parallel = runs_in_parallel(dims->m, dims->k, dims->n);
    const bool a_row = is_c_contiguous(a.layout), a_col = is_f_contiguous(a.layout);
    const bool b_row = is_c_contiguous(b.layout), b_col = is_f_contiguous(b.layout);
    const bool c_row = is_c_contiguous(c.layout);
    if (a_row && b_col && c_row) {
        dot_kernel(parallel, a, b, c, accumulate);
        return {};
    }
    if (a_col && b_row && c_row) {
        outer_kernel(parallel, a, b, c, accumulate);
        return {};
    }
    if (a_col && b_col && c_row) {
        // Copy the smaller operand; k is common, so B exactly when m > n (for k > 0).
        if (dims->m * dims->k > dims->k * dims->n) {
            const auto b_copy = kavrel::application::view::contiguous::to_contiguous(b);
            outer_kernel(parallel, a, ArrayView<T, 2>::of(b_copy), c, accumulate);
        } else {
            const auto a_copy = kavrel::application::view::contiguous::to_contiguous(a);
            dot_kernel(parallel, ArrayView<T, 2>::of(a_copy), b, c, accumulate);
        }
        return {};
    }
    return generic_product(parallel, a, a_row, b, b_row, c, accumulate, *dims);
}

template Result<void> route_matmul<float>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                          ArrayViewMut<float, 2>&, Accumulate);
template Result<void> route_matmul<double>(const ArrayView<double, 2>&, const ArrayView<double, 2>&,
                                           ArrayViewMut<double, 2>&, Accumulate);

}  // namespace kavrel_ops::application::matrix::dispatch
