// The shifts of a Francis double-shift sweep and the first column of its shift polynomial.
// Standard shifts are the eigenvalues of the trailing 2×2 block of the active window;
// exceptional shifts (every 10th sweep from the top of the window, every 20th from its bottom)
// break the cycles that standard shifts can fall into. T is n×n row-major, T[i][j] at i·n + j.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace kavrel_ops::application::linalg::schur::francis::shift {

// The two shifts rt1r + i·rt1i and rt2r + i·rt2i: a conjugate pair, or twice the same real value.
struct Shifts {
    double rt1r, rt1i, rt2r, rt2i;
};

// The shifts of sweep `its` on the window lo … hi. Requires: lo + 2 ≤ hi < n.
[[nodiscard]] Shifts window_shifts(std::span<const double> t, std::uint64_t n, std::uint64_t lo, std::uint64_t hi,
                                   std::uint64_t its);

// (v₁, v₂, v₃): the first column of (T − rt1)(T − rt2) at rows m … m+2, divided by
// |v₃| + (|v₂| + |v₁|) when that sum is positive. Requires: m + 2 < n.
[[nodiscard]] std::array<double, 3> first_column(std::span<const double> t, std::uint64_t n, std::uint64_t m,
                                                 const Shifts& shifts);

}  // namespace kavrel_ops::application::linalg::schur::francis::shift
