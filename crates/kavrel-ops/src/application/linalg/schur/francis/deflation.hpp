// When a subdiagonal entry of the Hessenberg matrix in the Francis iteration may be set to zero:
// the absolute floor of a run, the magnitude of an entry's neighbourhood, and the deflation test
// (the relative test with its refinement for graded matrices, or the plain neighbourhood test).
// T is an n×n row-major float64 slice, T[i][j] at i·n + j.
#pragma once

#include <cstdint>
#include <span>

namespace kavrel_ops::application::linalg::schur::francis::deflation {

// safmin when max|T| is 0 or not finite; else max(safmin, t·2^(e − g)) with e = ilogb(max|T|),
// g = ceil_log2(n) and t = min(2^g·safmin·2^52, eps): about max|T|·safmin/eps.
[[nodiscard]] double run_floor(std::span<const double> t, std::uint64_t n);

// (|T[k][k]| + |T[k−1][k−1]|) + (|T[k−1][k−2]| + |T[k+1][k]|), the outer two only where they exist
// in the whole matrix. Requires: 1 ≤ k < n.
[[nodiscard]] double neighbourhood_scale(std::span<const double> t, std::uint64_t n, std::uint64_t k);

// Whether T[k][k−1] is negligible: at or below `floor`; with `plain`, at or below eps times the
// neighbourhood; otherwise small against both diagonal neighbours and by the graded-matrix test
// on the 2×2 block around it. Requires: 1 ≤ k < n.
[[nodiscard]] bool negligible_subdiagonal(std::span<const double> t, std::uint64_t n, std::uint64_t k, bool plain,
                                          double floor);

}  // namespace kavrel_ops::application::linalg::schur::francis::deflation
