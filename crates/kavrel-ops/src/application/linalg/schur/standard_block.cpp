#include "kavrel_ops/application/linalg/schur/standard_block.hpp"

#include <algorithm>
#include <cmath>

#include "kavrel_ops/application/linalg/scaling/exponent.hpp"

namespace kavrel_ops::application::linalg::schur::standard_block {

namespace {

namespace ex = scaling::exponent;

constexpr double four_eps = 4.0 * ex::eps;
constexpr int max_rescalings = 21;

// −0.0 counts as positive.
double sgn(double x) { return x < 0.0 ? -1.0 : 1.0; }

// √(x² + y²) without overflow: max·√(1 + (min/max)²), 0 when both are 0.
double dlapy2(double x, double y) {
    const double ax = std::fabs(x), ay = std::fabs(y);
    const double w = std::max(ax, ay), z = std::min(ax, ay);
    if (w == 0.0) return 0.0;
    const double r = z / w;
    return w * std::sqrt(1.0 + r * r);
}

// 2^±485: the square root of safmin/eps, halved exponent rounded toward zero, so that temp and
// sigma can be squared inside dlapy2 without leaving the normal range.
struct RescalingPair {
    double small;  // safmn2
    double large;  // safmx2
};
RescalingPair rescaling_pair() {
    const int half = ex::ilogb(ex::safmin() / ex::eps) / 2;
    const double small = ex::scalbn(1.0, half);
    return {small, 1.0 / small};
}

}  // namespace

StandardBlock standardize_block(double a, double b, double c, double d) {
    if (c == 0.0) return {a, b, c, d, 1.0, 0.0};
    if (b == 0.0) return {d, -c, 0.0, a, 0.0, 1.0};
    if (a - d == 0.0 && sgn(b) != sgn(c)) return {a, b, c, d, 1.0, 0.0};

    double temp = a - d;
    double p = 0.5 * temp;
    const double bcmax = std::max(std::fabs(b), std::fabs(c));
    const double bcmis = std::min(std::fabs(b), std::fabs(c)) * sgn(b) * sgn(c);
    const double scale = std::max(std::fabs(p), bcmax);
    double z = (p / scale) * p + (bcmax / scale) * bcmis;

    if (z / scale >= four_eps) {
        // Real eigenvalues: z takes the sign of p so that d + z does not cancel.
        z = p + sgn(p) * (std::sqrt(scale) * std::sqrt(z));
        const double a1 = d + z;
        const double d1 = d - (bcmax / z) * bcmis;
        const double tau = dlapy2(c, z);
        return {a1, b - c, 0.0, d1, z / tau, c / tau};
    }

    // Complex or nearly equal real eigenvalues: rotate so that the diagonal entries are equal.
    const RescalingPair pair = rescaling_pair();
    double sigma = b + c;
    for (int i = 0; i < max_rescalings; ++i) {
        const double m = std::max(std::fabs(temp), std::fabs(sigma));
        if (m >= pair.large) {
            temp = temp * pair.small;
            sigma = sigma * pair.small;
        } else if (m <= pair.small) {
            temp = temp * pair.large;
            sigma = sigma * pair.large;
        } else {
            break;
        }
    }
    p = 0.5 * temp;
    const double tau = dlapy2(sigma, temp);
    double cs = std::sqrt((std::fabs(sigma) / tau + 1.0) * 0.5);
    double sn = -(p / (tau * cs)) * sgn(sigma);

    const double aa = a * cs + b * sn, bb = -a * sn + b * cs;
    const double cc = c * cs + d * sn, dd = -c * sn + d * cs;
    const double a2 = aa * cs + cc * sn, b2 = bb * cs + dd * sn;
    const double c2 = -aa * sn + cc * cs, d2 = -bb * sn + dd * cs;
    const double mid = 0.5 * (a2 + d2);

    if (c2 != 0.0 && b2 != 0.0 && sgn(b2) == sgn(c2)) {
        // The rotated block turned out to have real eigenvalues: one more rotation triangularises it.
        const double sab = std::sqrt(std::fabs(b2)), sac = std::sqrt(std::fabs(c2));
        const double q = sgn(c2) * sab * sac;
        const double t = 1.0 / std::sqrt(std::fabs(b2 + c2));
        const double cs1 = sab * t, sn1 = sac * t;
        return {mid + q, b2 - c2, 0.0, mid - q, cs * cs1 - sn * sn1, cs * sn1 + sn * cs1};
    }
    if (c2 != 0.0 && b2 == 0.0) return {mid, -c2, 0.0, mid, -sn, cs};
    return {mid, b2, c2, mid, cs, sn};
}

}  // namespace kavrel_ops::application::linalg::schur::standard_block
