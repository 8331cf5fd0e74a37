#include "kavrel_ops/application/linalg/schur/francis/shift.hpp"

#include <cmath>

namespace kavrel_ops::application::linalg::schur::francis::shift {

namespace {

double at(std::span<const double> t, std::uint64_t n, std::uint64_t i, std::uint64_t j) { return t[i * n + j]; }

constexpr std::uint64_t exceptional_from_top = 10;
constexpr std::uint64_t exceptional_from_bottom = 20;
constexpr double exceptional_diagonal = 0.75;
constexpr double exceptional_offdiagonal = -0.4375;

// The eigenvalues of [[h11, h12], [h21, h22]], computed on the block divided by its magnitude sum.
Shifts block_eigenvalues(double h11, double h12, double h21, double h22) {
    const double s = std::fabs(h22) + (std::fabs(h21) + (std::fabs(h12) + std::fabs(h11)));
    if (s == 0.0) return {0.0, 0.0, 0.0, 0.0};
    h11 = h11 / s;
    h12 = h12 / s;
    h21 = h21 / s;
    h22 = h22 / s;
    const double tr = (h11 + h22) * 0.5;
    const double det = (h11 - tr) * (h22 - tr) - h12 * h21;
    const double rtdisc = std::sqrt(std::fabs(det));
    if (det >= 0.0) return {tr * s, rtdisc * s, tr * s, -rtdisc * s};
    // Real pair: both shifts become the eigenvalue nearer to h22.
    const double r1 = std::fabs(tr + rtdisc - h22) <= std::fabs(tr - rtdisc - h22) ? tr + rtdisc : tr - rtdisc;
    return {r1 * s, 0.0, r1 * s, 0.0};
}

}  // namespace

Shifts window_shifts(std::span<const double> t, std::uint64_t n, std::uint64_t lo, std::uint64_t hi,
                     std::uint64_t its) {
    if (its % exceptional_from_bottom == 0) {
        const double s = std::fabs(at(t, n, hi, hi - 1)) + std::fabs(at(t, n, hi - 1, hi - 2));
        const double h11 = exceptional_diagonal * s + at(t, n, hi, hi);
        return block_eigenvalues(h11, exceptional_offdiagonal * s, s, h11);
    }
    if (its % exceptional_from_top == 0) {
        const double s = std::fabs(at(t, n, lo + 1, lo)) + std::fabs(at(t, n, lo + 2, lo + 1));
        const double h11 = exceptional_diagonal * s + at(t, n, lo, lo);
        return block_eigenvalues(h11, exceptional_offdiagonal * s, s, h11);
    }
    return block_eigenvalues(at(t, n, hi - 1, hi - 1), at(t, n, hi - 1, hi), at(t, n, hi, hi - 1), at(t, n, hi, hi));
}

std::array<double, 3> first_column(std::span<const double> t, std::uint64_t n, std::uint64_t m, const Shifts& shifts) {
    const double h00 = at(t, n, m, m), h01 = at(t, n, m, m + 1);
    const double h10 = at(t, n, m + 1, m), h11 = at(t, n, m + 1, m + 1), h21 = at(t, n, m + 2, m + 1);
    const double s = std::fabs(h10) + (std::fabs(shifts.rt2i) + std::fabs(h00 - shifts.rt2r));
    const double r = h10 / s;
    double v1 = ((h00 - shifts.rt2r) / s) * (h00 - shifts.rt1r) + r * h01 - shifts.rt1i * (shifts.rt2i / s);
    double v2 = r * (h00 + h11 - shifts.rt1r - shifts.rt2r);
    double v3 = r * h21;
    const double s2 = std::fabs(v3) + (std::fabs(v2) + std::fabs(v1));
    if (s2 > 0.0) {
        v1 = v1 / s2;
        v2 = v2 / s2;
        v3 = v3 / s2;
    }
    return {v1, v2, v3};
}

}  // namespace kavrel_ops::application::linalg::schur::francis::shift
