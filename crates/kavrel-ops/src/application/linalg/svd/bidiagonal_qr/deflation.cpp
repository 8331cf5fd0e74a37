#include "kavrel_ops/application/linalg/svd/bidiagonal_qr/deflation.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"

namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::deflation {

namespace ex = scaling::exponent;
using chase::Down;
using chase::Up;

namespace {

// One step of the lower-bound recurrence for the smallest singular value.
double next_mu(double mu, double e_abs, double d_abs) noexcept { return (mu / (e_abs + mu)) * d_abs; }

}  // namespace

Deflation Deflation::of(std::span<const double> d, std::span<const double> e, std::uint64_t n) {
    if (n < 2 || d.size() < n || e.size() < n - 1)
        kavrel::domain::error::fail_invariant("invariant: the deflation tests see a bidiagonal of order two or more");
    double mu = std::fabs(d[0]);
    double smin = mu;
    for (std::uint64_t i = 0; i + 1 < n; ++i) {
        if (smin == 0.0) break;
        mu = next_mu(mu, std::fabs(e[i]), std::fabs(d[i + 1]));
        smin = std::min(smin, mu);
    }
    const double tol = relative_tolerance;
    const double thresh = std::max((smin / std::sqrt(static_cast<double>(n))) * tol, ex::safmin());
    return {tol, thresh, n};
}

template <Direction D>
Split Deflation::split(const OrientedBlock& block) const {
    const auto& d = block.d;
    const auto& e = block.e;
    const std::uint64_t lo = block.lo, hi = block.hi;
    if constexpr (std::is_same_v<D, Up>) {
        if (std::fabs(e[lo]) <= std::fabs(d[lo]) * tol) return {true, lo};
        double mu = std::fabs(d[hi]);
        for (std::uint64_t i = hi; i-- > lo;) {
            if (std::fabs(e[i]) <= tol * mu) return {true, i};
            mu = next_mu(mu, std::fabs(e[i]), std::fabs(d[i]));
        }
        return {false, lo};
    } else {
        if (std::fabs(e[hi - 1]) <= std::fabs(d[hi]) * tol) return {true, hi - 1};
        double mu = std::fabs(d[lo]);
        for (std::uint64_t i = lo; i < hi; ++i) {
            if (std::fabs(e[i]) <= tol * mu) return {true, i};
            mu = next_mu(mu, std::fabs(e[i]), std::fabs(d[i + 1]));
        }
        return {false, hi - 1};
    }
}

template <Direction D>
bool Deflation::shift_ruins_accuracy(const OrientedBlock& block) const {
    const auto& d = block.d;
    const auto& e = block.e;
    const std::uint64_t lo = block.lo, hi = block.hi;
    double smax = 0.0;
    for (std::uint64_t i = lo; i <= hi; ++i) smax = std::max(smax, std::fabs(d[i]));
    for (std::uint64_t i = lo; i < hi; ++i) smax = std::max(smax, std::fabs(e[i]));
    if (smax == 0.0) return false;
    double mu, sminl;
    if constexpr (std::is_same_v<D, Up>) {
        mu = std::fabs(d[hi]);
        sminl = mu;
        for (std::uint64_t i = hi; i-- > lo;) {
            mu = next_mu(mu, std::fabs(e[i]), std::fabs(d[i]));
            sminl = std::min(sminl, mu);
        }
    } else {
        mu = std::fabs(d[lo]);
        sminl = mu;
        for (std::uint64_t i = lo; i < hi; ++i) {
            mu = next_mu(mu, std::fabs(e[i]), std::fabs(d[i + 1]));
            sminl = std::min(sminl, mu);
        }
    }
    const double floor = std::max(ex::eps, tol / 100.0);
    return floor >= (static_cast<double>(n) * tol) * (sminl / smax);
}

template Split Deflation::split<Up>(const OrientedBlock&) const;
template Split Deflation::split<Down>(const OrientedBlock&) const;
template bool Deflation::shift_ruins_accuracy<Up>(const OrientedBlock&) const;
template bool Deflation::shift_ruins_accuracy<Down>(const OrientedBlock&) const;

}  // namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::deflation
