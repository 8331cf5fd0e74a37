// The complete-pivoting LU elimination of a square float64 view on a private row-major copy:
// each step takes the first entry of largest magnitude in the whole trailing block as pivot and
// stops early once that magnitude is at most 1e-12·max|A|. The view is only read.
#pragma once

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/full_piv_lu.hpp"

namespace kavrel_ops::application::linalg::full_piv_lu::decompose {

using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

// Fails, in this order: ShapeMismatch {lhs [rows, cols], rhs [rows, rows]} when rows ≠ cols,
// before any element is read; StorageError "FullPivLU input contains a non-finite value" for the
// first infinite or NaN entry; Overflow factor_out_of_range when a factor itself leaves the float64
// range. A singular or rank-deficient matrix is no error. Where the updates overflow although the
// factors are finite, they are computed on the input scaled by a power of two
// (scaling::gate::factor_in_range) and U (with the remainder) is scaled back exactly; no scale
// that would round an entry is taken.
[[nodiscard]] Result<FullPivLuDecomposition> full_piv_lu_decompose(const ArrayView<double, 2>& a);

inline constexpr const char* factor_out_of_range = "FullPivLU factor exceeds the scalar range";

}  // namespace kavrel_ops::application::linalg::full_piv_lu::decompose
