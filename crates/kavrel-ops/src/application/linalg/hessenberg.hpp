// Reduction of a square float64 matrix to upper Hessenberg form by an orthogonal similarity,
// A = Q·H·Qᵀ, one Householder reflection per column with Q accumulated explicitly. Serves the
// Python `hessenberg` and the real Schur form; the input view is only read, and H comes back with
// exact zeros below its subdiagonal.
#pragma once

#include <cstdint>

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::hessenberg {

using kavrel::application::array::types::Array;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

struct HessenbergDecomposition {
    Array<double, 2> q;  // n×n, orthogonal; its first row and column are the first unit vector
    Array<double, 2> h;  // n×n, h[i][j] == 0.0 exactly for j ≤ i − 2
};

// rows, or ShapeMismatch lhs [rows, cols], rhs [rows, rows] when the matrix is not square.
[[nodiscard]] Result<std::uint64_t> validate_square(std::uint64_t rows, std::uint64_t cols);

// True when the reduction of this square view (any strides, valid layout) makes at least one
// reflection: n ≥ 3 and some entry below the subdiagonal does not compare equal to zero. Otherwise
// Q is the identity and H is the input as it stands.
[[nodiscard]] bool reflects(const ArrayView<double, 2>& a);

// The decomposition of a square view of any strides and offset.
// Errors: ShapeMismatch (not square), StorageError "Hessenberg input contains a non-finite value".
[[nodiscard]] Result<HessenbergDecomposition> hessenberg(const ArrayView<double, 2>& a);

// The overflow reason of an H that hessenberg_gated scales back out of the float64 range.
inline constexpr const char* h_entry_out_of_range = "Hessenberg entry exceeds the scalar range";

// hessenberg for callers that do not gate first (Schur and the eigenvalues do, with their own
// window): entries large enough for the reduction's products to overflow are scaled down
// (scaling::gate::balanced_below_overflow), and only when a reflection will run at all; without
// one, H is A as it stands. H is scaled back by 2^k and range-checked, also when nothing was
// scaled; Q is orthogonal and needs nothing. H[0][0], which no step writes, is A[0][0] itself,
// never a rounded rescaling of it. Errors, in this order: ShapeMismatch before any element is
// read; the gate's Overflow guards; hessenberg's StorageError; Overflow h_entry_out_of_range.
[[nodiscard]] Result<HessenbergDecomposition> hessenberg_gated(const ArrayView<double, 2>& a);

}  // namespace kavrel_ops::application::linalg::hessenberg
