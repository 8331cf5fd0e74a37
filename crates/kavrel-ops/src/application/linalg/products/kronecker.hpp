// The Kronecker product of two float64 matrix views as a new row-major array, on the calling
// thread: b is copied once into a row-major buffer, and every block of the output is that buffer
// times one entry of a, written row by row as runs of consecutive elements.
#pragma once

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::products::kronecker {

using kavrel::application::array::types::Array;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

// out[(i·b_rows + k), (j·b_cols + l)] = b(k, l)·a(i, j), shape (a_rows·b_rows, a_cols·b_cols).
// The block of an entry a(i, j) that is exactly zero (−0.0 included) is left +0.0 without
// multiplying when b is finite; with an infinity or a NaN in b it is multiplied like any other
// (0·inf = NaN). Fails, in this order and before
// anything is allocated: the validate_storage error of a, then of b; Overflow "kronecker output
// row count", "kronecker output column count", "kronecker output element count" for the three
// output extents. Then a StorageError "physical offset {} exceeds backing slice length {}" or a
// physical_offset error for an element that cannot be read; an output layout that cannot be
// built (more than 2^63 − 1 rows of an empty product) is the layout's Overflow.
[[nodiscard]] Result<Array<double, 2>> kronecker_product(const ArrayView<double, 2>& a, const ArrayView<double, 2>& b);

}  // namespace kavrel_ops::application::linalg::products::kronecker
