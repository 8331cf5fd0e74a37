#include "kavrel_ops/application/linalg/bidiagonal/colmajor.hpp"

#include <cmath>

#include "kavrel_ops/application/linalg/scaling/exponent.hpp"

namespace kavrel_ops::application::linalg::bidiagonal::colmajor {

namespace ex = scaling::exponent;

LarfgWindow larfg_window(std::uint64_t rows) noexcept {
    const double root_safmin = std::sqrt(ex::safmin());
    const double s = std::sqrt(ex::scalbn(ex::dbl_max(), -ex::ceil_log2(rows)));
    return {root_safmin + root_safmin * ex::eps, s - s * ex::eps};
}

Larfg larfg(std::span<double> x, const LarfgWindow& window) noexcept {
    if (x.empty()) return {0.0, 0.0};
    if (x.size() == 1) return {0.0, x[0]};
    double amax = 0.0;
    for (double xi : x)
        if (std::fabs(xi) > amax) amax = std::fabs(xi);
    int s = 0;
    if (amax > 0.0 && std::isfinite(amax) && (amax < window.lo || amax > window.hi)) s = ex::ilogb(amax);
    // x·2^-s; scalbn by 0 is the identity, so the common case skips it.
    const auto scaled = [s](double v) { return s == 0 ? v : ex::scalbn(v, -s); };
    const double alpha = scaled(x[0]);
    double ssq = 0.0;
    for (std::size_t i = 1; i < x.size(); ++i) {
        const double t = scaled(x[i]);
        ssq = ssq + t * t;
    }
    if (ssq == 0.0) return {0.0, x[0]};
    const double norm = std::sqrt(alpha * alpha + ssq);
    const double beta_scaled = alpha <= 0.0 ? norm : -norm;
    const double r = 1.0 / (alpha - beta_scaled);
    for (std::size_t i = 1; i < x.size(); ++i) x[i] = scaled(x[i]) * r;
    const double tau = (beta_scaled - alpha) / beta_scaled;
    const double beta = ex::scalbn(beta_scaled, s);
    x[0] = beta;
    return {tau, beta};
}

}  // namespace kavrel_ops::application::linalg::bidiagonal::colmajor
