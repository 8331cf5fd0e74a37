#include "kavrel_ops/application/matrix/dispatch.hpp"

#include <optional>

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/contiguous.hpp"
#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/layout/layout.hpp"
#include "kavrel_ops/application/matrix/dot_outer_kernels.hpp"
#include "kavrel_ops/application/matrix/generic_kernel.hpp"
#include "kavrel_ops/application/matrix/packing.hpp"
#include "kavrel_ops/domain/tuning.hpp"

namespace kavrel_ops::application::matrix::dispatch {

namespace {

using kavrel::application::array::types::Array;
using kavrel::domain::layout::is_c_contiguous;
using kavrel::domain::layout::is_f_contiguous;
namespace kernels = dot_outer_kernels;
namespace tuning = kavrel_ops::domain::tuning;

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

// The kernels of the generic path on operands that suit them: C cleared when overwriting (they
// only add), then the row-blocked kernel or the row loop, serially or in row units.
template <class T>
void generic_kernels(bool parallel, const T* a, const T* b, ArrayViewMut<T, 2>& c, Accumulate accumulate,
                     const types::MatmulDims& dims, const generic_kernel::SharedPanels<T>* shared = nullptr) {
    const bool overwrite = accumulate == Accumulate::overwrite;
    if (parallel) {
        // Each unit clears its own rows: in parallel, and just before its kernel reads them.
        (void)c.whole_window();  // refuses a shared window, as zero_output would
        generic_kernel::parallel_matmul(a, b, c.ptr, dims, overwrite, shared);
        return;
    }
    if (overwrite) packing::zero_output(dims, c);
    generic_kernel::serial_matmul(a, b, c.ptr, dims, shared);
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
    generic_kernels(parallel, a_used.ptr, b_used.ptr, c, accumulate, dims);
    return {};
}

enum class Route { dot, outer, both_column_major, generic };

struct Layouts {
    bool a_row, a_col, b_row, b_col, c_row;

    template <class T>
    static Layouts of(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, const ArrayViewMut<T, 2>& c) {
        return {is_c_contiguous(a.layout), is_f_contiguous(a.layout), is_c_contiguous(b.layout),
                is_f_contiguous(b.layout), is_c_contiguous(c.layout)};
    }

    // The first row of the routing table whose layouts hold.
    Route route() const {
        if (a_row && b_col && c_row) return Route::dot;
        if (a_col && b_row && c_row) return Route::outer;
        if (a_col && b_col && c_row) return Route::both_column_major;
        return Route::generic;
    }
};

}  // namespace

bool runs_in_parallel(std::uint64_t m, std::uint64_t k, std::uint64_t n) noexcept {
    if (m < tuning::parallel_min_rows) return false;
    using kavrel::domain::checked::saturating_mul;
    return saturating_mul(saturating_mul(m, k), n) >= tuning::parallel_min_multiply_adds;
}

template <ScalarElement T>
Result<void> route_matmul(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                          Accumulate accumulate) {
    const auto dims = types::validate_matmul(a, b, c);
    if (!dims) return std::unexpected(dims.error());
    // C without elements: nothing to compute or clear, however large A or B.
    if (dims->m == 0 || dims->n == 0) return {};
    const bool parallel = runs_in_parallel(dims->m, dims->k, dims->n);
    const Layouts layouts = Layouts::of(a, b, c);
    switch (layouts.route()) {
        case Route::dot: dot_kernel(parallel, a, b, c, accumulate); return {};
        case Route::outer: outer_kernel(parallel, a, b, c, accumulate); return {};
        case Route::both_column_major:
            // Copy the smaller operand; k is common, so B exactly when m > n (for k > 0).
            if (dims->m * dims->k > dims->k * dims->n) {
                const auto b_copy = kavrel::application::view::contiguous::to_contiguous(b);
                outer_kernel(parallel, a, ArrayView<T, 2>::of(b_copy), c, accumulate);
            } else {
                const auto a_copy = kavrel::application::view::contiguous::to_contiguous(a);
                dot_kernel(parallel, ArrayView<T, 2>::of(a_copy), b, c, accumulate);
            }
            return {};
        case Route::generic: break;
    }
    return generic_product(parallel, a, layouts.a_row, b, layouts.b_row, c, accumulate, *dims);
}

template <ScalarElement T>
std::optional<GenericPlan> direct_generic_plan(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b,
                                               const ArrayViewMut<T, 2>& c) {
    const auto dims = types::validate_matmul(a, b, c);
    if (!dims) return std::nullopt;
    const Layouts layouts = Layouts::of(a, b, c);
    if (layouts.route() != Route::generic || !layouts.a_row || !layouts.b_row) return std::nullopt;
    const bool parallel = runs_in_parallel(dims->m, dims->k, dims->n);
    return GenericPlan{*dims, parallel, !parallel && generic_kernel::takes_dense_path(*dims)};
}

template <ScalarElement T>
void run_generic(const T* a, const T* b, ArrayViewMut<T, 2>& c, const GenericPlan& plan, Accumulate accumulate,
                 const generic_kernel::SharedPanels<T>* shared) {
    generic_kernels(plan.parallel, a, b, c, accumulate, plan.dims, shared);
}

template Result<void> route_matmul<float>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                          ArrayViewMut<float, 2>&, Accumulate);
template Result<void> route_matmul<double>(const ArrayView<double, 2>&, const ArrayView<double, 2>&,
                                           ArrayViewMut<double, 2>&, Accumulate);
template std::optional<GenericPlan> direct_generic_plan<float>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                                               const ArrayViewMut<float, 2>&);
template void run_generic<float>(const float*, const float*, ArrayViewMut<float, 2>&, const GenericPlan&, Accumulate,
                                 const generic_kernel::SharedPanels<float>*);

}  // namespace kavrel_ops::application::matrix::dispatch
