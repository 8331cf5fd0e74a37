// The inverse of a square float64 matrix from its partial-pivoting LU factors, one column at a
// time. No conditioning test: a nearly singular matrix gives large entries, not an error.
#pragma once

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::lu::solvers {

using kavrel::application::array::types::Array;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

// A⁻¹ as a new (n, n) row-major array: column j solves L·U·x = P·e_j. Fails with the error of
// lu_decompose unchanged (shape mismatch, non-finite entry, exactly zero pivot column). The view
// is only read.
[[nodiscard]] Result<Array<double, 2>> inv(const ArrayView<double, 2>& a);

}  // namespace kavrel_ops::application::linalg::lu::solvers
