// The front ends of the singular value decomposition: a matrix must have at least one row and
// one column and only finite entries before it meets the scaling gate (svd_bound) and the drivers
// of svd::bidiagonal_qr, whose singular values are then scaled back with a range check.
#pragma once

#include <vector>

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/svd/bidiagonal_qr.hpp"

namespace kavrel_ops::application::linalg::svd {

using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

// The storage error of an infinite or NaN entry.
inline constexpr const char* non_finite_input = "SVD input contains a non-finite value";
// The overflow reason of a singular value that leaves the float64 range when scaled back.
inline constexpr const char* singular_value_out_of_range = "singular value exceeds the scalar range";

// m = 0 or n = 0: ShapeMismatch, lhs [m, n], rhs [max(m, 1), max(n, 1)]. Then the first infinite
// or NaN entry, in storage order for a C-contiguous view inside its storage and in logical
// row-major order otherwise: StorageError non_finite_input. Reads the view, copies nothing.
[[nodiscard]] Result<void> validate_input(const ArrayView<double, 2>& a);

// The thin SVD of any view (bidiagonal_qr::svd_of_balanced on the input or its scaled copy). U and
// V need no rescaling; a singular value that leaves the float64 range once scaled back is an
// error rather than an infinity. Errors, in this order: validate_input's; the gate's Overflow
// guards; the driver's; Overflow singular_value_out_of_range.
[[nodiscard]] Result<bidiagonal_qr::SvdResult> svd_balanced(const ArrayView<double, 2>& a);
// The singular values alone (bidiagonal_qr::singular_values_of_balanced), with the same checks
// and errors in the same order.
[[nodiscard]] Result<std::vector<double>> singular_values_balanced(const ArrayView<double, 2>& a);

}  // namespace kavrel_ops::application::linalg::svd
