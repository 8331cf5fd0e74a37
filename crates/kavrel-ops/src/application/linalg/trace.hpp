// The trace of a square float64 matrix view: its diagonal summed in a fixed order on the calling
// thread, with the same tests of shape and storage as the other reductions of a view.
#pragma once

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::trace {

using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

// Σ a(i, i) from 0.0 in increasing i, one rounding per sum. Fails, in this order: ShapeMismatch
// lhs [rows, cols], rhs [rows, rows] before any element is read; an empty matrix is 0.0 as it
// stands; the validate_storage error of a layout that does not fit its storage.
[[nodiscard]] Result<double> trace_of(const ArrayView<double, 2>& a);

}  // namespace kavrel_ops::application::linalg::trace
