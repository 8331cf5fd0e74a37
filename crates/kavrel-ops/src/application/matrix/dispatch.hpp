// The router of the matrix-product engine: validates a product, picks the dot-product,
// outer-product or generic kernel by the row- and column-major layouts of A, B and C (copying an
// operand into row-major order where that lets a faster kernel run), and runs it on the calling
// thread or in row units on the global executor by the product's size. The only caller of the
// product kernels; the front end (api) calls it with a row-major C.
#pragma once

#include <cstdint>
#include <optional>

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/application/view/mutable_core.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/matrix/generic_kernel.hpp"
#include "kavrel_ops/application/matrix/types.hpp"

namespace kavrel_ops::application::matrix::dispatch {

using kavrel::application::view::immutable::ArrayView;
using kavrel::application::view::mutable_core::ArrayViewMut;
using kavrel::domain::error::Result;
using types::Accumulate;
using types::ScalarElement;

// The size rule, the same for every kernel family: m ≥ tuning::parallel_min_rows and
// m·k·n ≥ tuning::parallel_min_multiply_adds, the product saturating instead of wrapping.
[[nodiscard]] bool runs_in_parallel(std::uint64_t m, std::uint64_t k, std::uint64_t n) noexcept;

// C = A·B (overwrite) or C += A·B (add); a C without elements returns once validated, whatever
// the size of A and B. Otherwise the first of these whose layouts hold (row- and
// column-major as kernels::is_c_contiguous / is_f_contiguous test them, extents of 1 skipped):
// - A row-major, B column-major, C row-major: the dot-product kernel;
// - A column-major, B row-major, C row-major: the outer-product kernel;
// - A and B column-major, C row-major: the smaller of A and B (A on a tie) copied to row-major,
//   then the dot kernel (A copied) or the outer kernel (B copied);
// - anything else: A and B as they are when row-major, else row-major copies; C cleared when
//   overwriting; then the generic kernels (generic_kernel).
// Errors: only validate_matmul's, returned before anything is written. Operand copies are
// released on every exit. Each output row gets the same arithmetic serially and in parallel.
template <ScalarElement T>
[[nodiscard]] Result<void> route_matmul(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b, ArrayViewMut<T, 2>& c,
                                        Accumulate accumulate);

// For a batch of products that share shapes and strides: the validated geometry of this one and
// the size rule's choice, when route_matmul would run it on the generic kernels with A and B as
// they are (both row-major, no copy); nullopt on every other route and for operands that fail
// validation (route_matmul itself then reports the error). With that plan, run_generic does
// for any product of the same shapes and strides what route_matmul would.
// `dense`: a serial plan whose products take generic_kernel's dense path, which
// generic_kernel::dense_overwrite runs alone when overwriting.
struct GenericPlan {
    types::MatmulDims dims;
    bool parallel;
    bool dense;
};

template <ScalarElement T>
[[nodiscard]] std::optional<GenericPlan> direct_generic_plan(const ArrayView<T, 2>& a, const ArrayView<T, 2>& b,
                                                             const ArrayViewMut<T, 2>& c);

// route_matmul's generic path on validated operands that need no copy: C cleared when
// overwriting, then the row-blocked kernel (or the row loop), serially or in units as the plan
// says. `c` is the output view whose geometry plan.dims holds. Dense blocks read B's panels from
// `shared` when given (generic_kernel::pack_shared_b of this B).
template <ScalarElement T>
void run_generic(const T* a, const T* b, ArrayViewMut<T, 2>& c, const GenericPlan& plan, Accumulate accumulate,
                 const generic_kernel::SharedPanels<T>* shared = nullptr);

extern template Result<void> route_matmul<float>(const ArrayView<float, 2>&, const ArrayView<float, 2>&,
                                                 ArrayViewMut<float, 2>&, Accumulate);
extern template Result<void> route_matmul<double>(const ArrayView<double, 2>&, const ArrayView<double, 2>&,
                                                  ArrayViewMut<double, 2>&, Accumulate);
extern template std::optional<GenericPlan> direct_generic_plan<float>(const ArrayView<float, 2>&,
                                                                      const ArrayView<float, 2>&,
                                                                      const ArrayViewMut<float, 2>&);
extern template void run_generic<float>(const float*, const float*, ArrayViewMut<float, 2>&, const GenericPlan&,
                                        Accumulate, const generic_kernel::SharedPanels<float>*);

}  // namespace kavrel_ops::application::matrix::dispatch
