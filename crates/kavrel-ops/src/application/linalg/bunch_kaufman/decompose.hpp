// Bunch-Kaufman diagonal pivoting (the partial-pivoting variant, growth constant
// alpha = (1 + √17)/8) on a private row-major copy of a symmetric float64 view, column by column
// on the calling thread, each trailing update a row of axpy_slice calls. Only the lower triangle
// of the copy is read and updated after the symmetry test, so the multipliers, the pivot rows and
// the pivot tests all see one matrix. The view is only read. The pivot tests and the 2×2 block
// inverse stay exact for entries near either end of the float64 range, where their plain products
// would underflow or overflow.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/bunch_kaufman.hpp"

namespace kavrel_ops::application::linalg::bunch_kaufman::decompose {

using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

// The float64 nearest to (1 + √17)/8.
inline constexpr double alpha = 0.6403882032022076;

// Factors a (any strides). Fails, in this order:
// - ShapeMismatch {lhs [rows, cols], rhs [rows, rows]} when rows ≠ cols, before any element is read;
// - StorageError "Bunch-Kaufman input contains a non-finite value" for the first infinite or NaN entry;
// - StorageError "Bunch-Kaufman requires a symmetric matrix" when some |a(i, j) − a(j, i)| exceeds
//   1e-9·max|a| (a smaller difference is accepted as it stands, and the factors are those of the
//   lower triangle);
// - StorageError "Bunch-Kaufman encountered a singular 2x2 pivot" for a chosen 2×2 block whose
//   determinant is exactly zero;
// - Overflow factor_out_of_range when a factor itself leaves the float64 range.
// Where the updates overflow although the factors are finite, they are computed on the input
// scaled by a power of two (scaling::gate::factor_in_range) and D is scaled back exactly; a scale
// that would round an entry of the lower triangle is not taken, and where only such a scale keeps
// the updates finite the error is factor_out_of_range.
[[nodiscard]] Result<BunchKaufmanDecomposition> bunch_kaufman_decompose(const ArrayView<double, 2>& a);

inline constexpr const char* factor_out_of_range = "Bunch-Kaufman factor exceeds the scalar range";

// The two steps of the elimination, on the working matrix w (n·n row-major) and the factor buffers.

// Interchanges index p and q of the factorisation: in the lower triangle of the trailing block
// of w (indices lcols and up), the entries of rows and columns p and q as a symmetric
// interchange moves them; the first lcols entries of rows p and q of l; and perm[p], perm[q].
// Nothing when p = q. Requires: p, q < n; lcols ≤ min(p, q); w.size() = l.size() = n·n;
// perm.size() = n.
void symmetric_swap(std::span<double> w, std::span<double> l, std::span<std::uint64_t> perm, std::uint64_t p,
                    std::uint64_t q, std::uint64_t lcols, std::uint64_t n);

// Takes the 2×2 pivot [[w(k, k), ·], [w(k + 1, k), w(k + 1, k + 1)]]: fills its block of d and
// block_2x2[k], the multipliers of columns k and k + 1 of l, and updates the lower triangle of the
// trailing block of w, with `pivot_rows` as scratch. Fails with the singular-pivot StorageError,
// writing nothing, when the block's determinant is exactly zero. Requires: k + 1 < n and the
// buffer sizes of symmetric_swap.
[[nodiscard]] Result<void> eliminate_2x2(std::span<double> w, std::span<double> l, std::span<double> d,
                                         std::vector<bool>& block_2x2, std::uint64_t k, std::uint64_t n,
                                         std::vector<double> (&pivot_rows)[2]);

// Implementation details

namespace detail {

// The 1×1 test absakk·rowmax ≥ colmax·(colmax·alpha), each product rounded as written, decided
// as if the float64 exponent range were unbounded: identical to the plain test whenever its three
// products are normal numbers, and still right when they underflow or overflow. Non-finite
// operands get the plain test. Requires: absakk, rowmax ≥ 0 and colmax > 0.
[[nodiscard]] bool one_by_one_growth_ok(double absakk, double rowmax, double colmax);

}  // namespace detail

}  // namespace kavrel_ops::application::linalg::bunch_kaufman::decompose
