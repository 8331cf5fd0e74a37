// The input check of the singular value decomposition and the texts of its front ends: a matrix
// must have at least one row and one column and only finite entries before it meets the scaling
// gate and the drivers of svd::bidiagonal_qr.
#pragma once

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"

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

}  // namespace kavrel_ops::application::linalg::svd
