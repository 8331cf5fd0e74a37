// The dot product of two float32 vectors of any strides, on the calling thread: one dot_slice
// call when both are unit-stride (or hold one element), else a plain strided loop.
#pragma once

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::vector {

using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

// Σ a[i]·b[i] over the common length n; 0 for n = 0.
// Errors, in this order: ShapeMismatch {lhs [len a], rhs [len b]} for different lengths; the
// validate_storage error of a, then of b; a physical_offset error on the strided loop.
// Order: unit strides (or n = 1) give dot_slice's order on each view's run from its offset (the
// order of the CPU path taken); otherwise sum = sum + a[i]·b[i] from +0 for i increasing, each
// product and sum rounded to float32 separately.
[[nodiscard]] Result<float> dot(const ArrayView<float, 1>& a, const ArrayView<float, 1>& b);

}  // namespace kavrel_ops::application::vector
