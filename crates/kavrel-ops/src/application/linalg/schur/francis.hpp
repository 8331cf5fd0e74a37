// The Francis double-shift QR iteration that takes an upper Hessenberg matrix to quasi-upper-
// triangular form: implicit double-shift sweeps on an active window that shrinks from the bottom
// as subdiagonal entries deflate, with exceptional shifts and a sweep budget per window. Runs on
// the calling thread, in place, allocating only one scratch row for matrices wider than 128.
#pragma once

#include <cstdint>
#include <span>

#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::schur::francis {

using kavrel::domain::error::Result;

// The smallest |T[k][k−1]| / neighbourhood_scale(k) over k = lo+1 … hi (a NaN ratio never
// replaces the running minimum, which starts at +inf): how far the window is from deflating.
[[nodiscard]] double smallest_relative_subdiagonal(std::span<const double> t, std::uint64_t n, std::uint64_t lo,
                                                   std::uint64_t hi);

// What the sweeps update. whole_matrix keeps T·Q-consistent with the input (the Schur form):
// reflections act on all columns right of the bulge and all rows above it, and on Q.
// active_window (eigenvalues only) confines them to the rows and columns of the window.
enum class Scope { whole_matrix, active_window };

// 30·max(n, 10): the sweeps one window may take.
[[nodiscard]] std::uint64_t sweep_budget(std::uint64_t n);

// Iterates on the n×n row-major Hessenberg matrix `t` (zeros below the subdiagonal) until every
// subdiagonal entry is zero or lies inside a 2×2 block whose neighbours are zero. With
// Scope::whole_matrix and a non-empty `q` (n×n row-major), q := q·(every reflection). Nothing
// runs for n < 3. Errors: ConvergenceError {sweep_budget(n), the window's
// smallest_relative_subdiagonal, eps} when a window does not deflate within the budget.
[[nodiscard]] Result<void> iterate(std::span<double> t, std::uint64_t n, std::span<double> q, Scope scope);

}  // namespace kavrel_ops::application::linalg::schur::francis
