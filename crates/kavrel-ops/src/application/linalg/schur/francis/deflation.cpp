#include "kavrel_ops/application/linalg/schur/francis/deflation.hpp"

#include <algorithm>
#include <cmath>

#include "kavrel_ops/application/linalg/scaling/exponent.hpp"

namespace kavrel_ops::application::linalg::schur::francis::deflation {

namespace {

namespace ex = scaling::exponent;

double at(std::span<const double> t, std::uint64_t n, std::uint64_t i, std::uint64_t j) { return t[i * n + j]; }

// |T[k−1][k−2]| + |T[k+1][k]|, each 0 where it lies outside the matrix.
double outer_neighbours(std::span<const double> t, std::uint64_t n, std::uint64_t k) {
    const double p = k >= 2 ? std::fabs(at(t, n, k - 1, k - 2)) : 0.0;
    const double q = k + 1 < n ? std::fabs(at(t, n, k + 1, k)) : 0.0;
    return p + q;
}

}  // namespace

double run_floor(std::span<const double> t, std::uint64_t n) {
    double c = 0.0;
    for (double x : t)
        if (std::fabs(x) > c) c = std::fabs(x);
    if (c == 0.0 || !std::isfinite(c)) return ex::safmin();
    const int e = ex::ilogb(c);
    const int g = ex::ceil_log2(n);
    const double tt = std::min(ex::scalbn(ex::safmin(), g + 52), ex::eps);
    return std::max(ex::safmin(), ex::scalbn(tt, e - g));
}

double neighbourhood_scale(std::span<const double> t, std::uint64_t n, std::uint64_t k) {
    return (std::fabs(at(t, n, k, k)) + std::fabs(at(t, n, k - 1, k - 1))) + outer_neighbours(t, n, k);
}

bool negligible_subdiagonal(std::span<const double> t, std::uint64_t n, std::uint64_t k, bool plain, double floor) {
    const double h = std::fabs(at(t, n, k, k - 1));
    if (h <= floor) return true;
    if (plain) return h <= ex::eps * neighbourhood_scale(t, n, k);
    const double tst = std::fabs(at(t, n, k, k)) + std::fabs(at(t, n, k - 1, k - 1));
    if (tst != 0.0) {
        if (h > ex::eps * tst) return false;
    } else if (h > ex::eps * outer_neighbours(t, n, k)) {
        return false;
    }
    // Small against its diagonal: also small in the products that decide the 2×2 block's
    // eigenvalues, which keeps graded matrices accurate.
    const double x = std::fabs(at(t, n, k - 1, k));
    const double ab = std::max(h, x), ba = std::min(h, x);
    const double d = std::fabs(at(t, n, k - 1, k - 1) - at(t, n, k, k));
    const double y = std::fabs(at(t, n, k, k));
    const double aa = std::max(y, d), bb = std::min(y, d);
    const double s = ab + aa;
    return (ab / s) * ba <= std::max(floor, (aa / s) * bb * ex::eps);
}

}  // namespace kavrel_ops::application::linalg::schur::francis::deflation
