// Whole-matrix float64 arithmetic for the matrix functions: sums, differences and scalar multiples
// of views, element by element in one rounding each (a flat loop when the operands are row-major,
// the logical element walk otherwise), and products through the matrix-product engine; each
// result is a new row-major array.
#pragma once

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::matrix_function::dense {

using kavrel::application::array::types::Array;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

// a + b and a − b with a's shape. Requires: a and b have the same shape (the elements are paired
// in logical row-major order; unequal element counts are an internal error).
[[nodiscard]] Array<double, 2> add(const ArrayView<double, 2>& a, const ArrayView<double, 2>& b);
[[nodiscard]] Array<double, 2> sub(const ArrayView<double, 2>& a, const ArrayView<double, 2>& b);

// a·f with a's shape.
[[nodiscard]] Array<double, 2> scale(const ArrayView<double, 2>& a, double f);

// a·b (m×k by k×n) as a new m×n array, computed by matmul_with_tile_policy into a zero-filled
// row-major output (overwriting), so large products may run on the executor's workers. Fails
// with the product's error, for example ShapeMismatch {lhs [m, k], rhs [k', n]} when k ≠ k'.
[[nodiscard]] Result<Array<double, 2>> mul(const ArrayView<double, 2>& a, const ArrayView<double, 2>& b);

}  // namespace kavrel_ops::application::linalg::matrix_function::dense
