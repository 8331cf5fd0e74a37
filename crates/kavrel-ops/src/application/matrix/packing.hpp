// Moving whole outputs of a product: clearing C before an overwriting product whose kernel only
// adds into it, and writing a product computed into a row-major temporary back into an output
// of any layout. Both use one block fill or copy per row whenever C's column stride is 1 (one for
// all of a dense C) and refuse a view whose window is shared with sibling views.
#pragma once

#include <span>

#include "kavrel/application/view/mutable_core.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/matrix/types.hpp"

namespace kavrel_ops::application::matrix::packing {

using kavrel::application::view::mutable_core::ArrayViewMut;
using kavrel::domain::error::Result;
using types::MatmulDims;
using types::ScalarElement;

// Sets the m·n elements that dims addresses in C (extents, strides and offset from dims; storage
// from C) to +0.0, whatever they held (−0.0 and NaN included); nothing else in C's storage changes.
// Requires: dims comes from validate_matmul on this C. A shared window is an internal error, even
// for a view without elements. Instances: float, double.
template <ScalarElement T>
void zero_output(const MatmulDims& dims, ArrayViewMut<T, 2>& c);

// zero_output for the rows [first, last) of C alone, C's storage given by its base pointer: what
// each unit of a parallel product clears before it adds into its rows, so the rows are cleared
// in parallel and are still in cache when the unit's kernel reads them. Requires: dims from
// validate_matmul on this C, last ≤ m, C's window not shared. Instances: float, double.
template <ScalarElement T>
void zero_rows(const MatmulDims& dims, T* c, std::uint64_t first, std::uint64_t last);

// C[i, j] = source[i·C.cols + j] for every element of C, row by row. Requires: source holds at
// least C.rows·C.cols elements (not checked). A shared window is an internal error, before
// anything else; then C's validate_storage error is returned with nothing written.
// Instances: float, double.
template <ScalarElement T>
[[nodiscard]] Result<void> copy_back_to_out(std::span<const T> source, ArrayViewMut<T, 2>& c);

extern template void zero_output<float>(const MatmulDims&, ArrayViewMut<float, 2>&);
extern template void zero_output<double>(const MatmulDims&, ArrayViewMut<double, 2>&);
extern template void zero_rows<float>(const MatmulDims&, float*, std::uint64_t, std::uint64_t);
extern template void zero_rows<double>(const MatmulDims&, double*, std::uint64_t, std::uint64_t);
extern template Result<void> copy_back_to_out<float>(std::span<const float>, ArrayViewMut<float, 2>&);
extern template Result<void> copy_back_to_out<double>(std::span<const double>, ArrayViewMut<double, 2>&);

}  // namespace kavrel_ops::application::matrix::packing
