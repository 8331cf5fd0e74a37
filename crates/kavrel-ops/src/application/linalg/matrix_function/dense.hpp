// Whole-matrix float64 arithmetic for the matrix functions: sums, differences and scalar multiples
// of views, each a new row-major array, element by element in one rounding each (a flat loop when
// the operands are row-major, the logical element walk otherwise).
#pragma once

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"

namespace kavrel_ops::application::linalg::matrix_function::dense {

using kavrel::application::array::types::Array;
using kavrel::application::view::immutable::ArrayView;

// a + b and a − b with a's shape. Requires: a and b have the same shape (the elements are paired
// in logical row-major order; unequal element counts are an internal error).
[[nodiscard]] Array<double, 2> add(const ArrayView<double, 2>& a, const ArrayView<double, 2>& b);
[[nodiscard]] Array<double, 2> sub(const ArrayView<double, 2>& a, const ArrayView<double, 2>& b);

// a·f with a's shape.
[[nodiscard]] Array<double, 2> scale(const ArrayView<double, 2>& a, double f);

}  // namespace kavrel_ops::application::linalg::matrix_function::dense
