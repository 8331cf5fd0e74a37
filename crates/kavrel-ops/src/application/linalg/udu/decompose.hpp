// The pivot-free factorisation A = U·diag(d)·Uᵀ of a symmetric float64 view, U unit upper
// triangular: columns from the last to the first, every entry one dot_slice inner product over
// the columns already done, on the calling thread. A pivot that is too small is an error that
// points to a symmetrically pivoted method (bunch_kaufman). The view is only read.
#pragma once

#include <cstdint>
#include <vector>

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::udu::decompose {

using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

// A = U·diag(d)·Uᵀ up to rounding; only the upper triangle of A (i ≤ j) enters the factors.
struct UduDecomposition {
    std::vector<double> u;  // n·n row-major: 1.0 on the diagonal, the factor above it, 0.0 below
    std::vector<double> d;  // n: the diagonal of D
    std::uint64_t n;
};

// Factors a (any strides; read in place when row-major, else through a row-major copy). Fails,
// in this order:
// - ShapeMismatch {lhs [rows, cols], rhs [rows, rows]} when rows ≠ cols, before any element is read;
// - StorageError "UDU input contains a non-finite value" for the first infinite or NaN entry;
// - StorageError "UDU requires a symmetric matrix" when some |a(i, j) − a(j, i)| exceeds 1e-9·max|a|;
// - StorageError "UDU encountered a zero pivot (needs symmetric pivoting)" at the first column
//   (from the last) whose pivot is at most 1e-12·max|a| in magnitude or NaN;
// - Overflow factor_out_of_range when a factor itself leaves the float64 range.
// Where the updates overflow although the factors are finite, they are computed on the input
// scaled by a power of two (scaling::gate::factor_in_range) and d is scaled back exactly; a scale
// that would round an entry of the upper triangle is not taken, and where only such a scale
// keeps the updates finite the error is factor_out_of_range.
[[nodiscard]] Result<UduDecomposition> udu_decompose(const ArrayView<double, 2>& a);

inline constexpr const char* factor_out_of_range = "UDU factor exceeds the scalar range";

}  // namespace kavrel_ops::application::linalg::udu::decompose
