#include "kavrel_ops/application/linalg/schur/francis/bulge.hpp"

#include <cmath>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"
#include "kavrel_ops/domain/tuning.hpp"

namespace kavrel_ops::application::linalg::schur::francis::bulge {

namespace {

namespace ex = scaling::exponent;
using Scalar = kavrel_ops::domain::scalar::contract::Scalar<double>;

}  // namespace

BulgeWindow bulge_window() {
    const double root = std::sqrt(ex::safmin());
    const double b = std::sqrt(ex::dbl_max() * 0.25);
    return {root * ex::eps + root, b - b * ex::eps};
}

std::optional<BulgeReflector> stack_reflector(const std::array<double, 3>& v, std::uint32_t nr,
                                              const BulgeWindow& window) {
    if (v[1] == 0.0 && (nr == 2 || v[2] == 0.0)) return std::nullopt;
    double g = 0.0;
    for (std::uint32_t i = 0; i < nr; ++i)
        if (std::fabs(v[i]) > g) g = std::fabs(v[i]);
    int e = 0;
    if ((g < window.small || g > window.big) && std::isfinite(g) && g != 0.0) e = ex::ilogb(g);
    const double w1 = ex::scalbn(v[0], -e), w2 = ex::scalbn(v[1], -e);
    const double w3 = nr == 3 ? ex::scalbn(v[2], -e) : 0.0;
    double sum = w2 * w2 + w1 * w1;
    if (nr == 3) sum = sum + w3 * w3;
    const double norm = std::sqrt(sum);
    const double beta = w1 < 0.0 ? norm : -norm;
    const double tau = (beta - w1) / beta;
    const double d = w1 - beta;
    return BulgeReflector{{1.0, w2 / d, nr == 3 ? w3 / d : 0.0}, nr, tau, ex::scalbn(beta, e)};
}

void apply_left(std::span<double> t, const BulgeReflector& r, std::uint64_t a, std::uint64_t row_stride,
                std::uint64_t b, std::uint64_t c, std::span<double> scratch) {
    const std::uint64_t last = (a + r.nr - 1) * row_stride + c;
    if (c < b || last >= t.size()) kavrel::domain::error::fail_invariant("invariant: a bulge block lies inside its matrix");
    if (c - b <= kavrel_ops::domain::tuning::francis_column_loop_span) {
        for (std::uint64_t j = b; j <= c; ++j) {
            double s = (r.u[0] * t[a * row_stride + j] + 0.0) + r.u[1] * t[(a + 1) * row_stride + j];
            if (r.nr == 3) s = s + r.u[2] * t[(a + 2) * row_stride + j];
            s = s * r.tau;
            for (std::uint32_t i = 0; i < r.nr; ++i) t[(a + i) * row_stride + j] -= r.u[i] * s;
        }
        return;
    }
    const std::size_t width = static_cast<std::size_t>(c - b + 1);
    if (scratch.size() < width) kavrel::domain::error::fail_invariant("invariant: bulge scratch covers the row");
    const std::span<double> work = scratch.first(width);
    for (double& w : work) w = 0.0;
    for (std::uint32_t i = 0; i < r.nr; ++i) Scalar::axpy_slice(t.subspan((a + i) * row_stride + b, width), work, r.u[i]);
    for (double& w : work) w = r.tau * w;
    for (std::uint32_t i = 0; i < r.nr; ++i) Scalar::axpy_slice(work, t.subspan((a + i) * row_stride + b, width), 0.0 - r.u[i]);
}

void apply_right_transposed(std::span<double> qt, std::uint64_t n, const BulgeReflector& r,
                            std::uint64_t k) {
    if ((k + r.nr) * n > qt.size()) kavrel::domain::error::fail_invariant("invariant: a reflected block lies inside Q");
    double* __restrict const x0 = qt.data() + k * n;
    double* __restrict const x1 = x0 + n;
    const double u0 = r.u[0], u1 = r.u[1], u2 = r.u[2], tau = r.tau;
    if (r.nr == 3) {
        double* __restrict const x2 = x1 + n;
        for (std::uint64_t j = 0; j < n; ++j) {
            double s = 0.0 + u0 * x0[j] + u1 * x1[j];
            s = s + u2 * x2[j];
            s = s * tau;
            x0[j] = x0[j] - u0 * s;
            x1[j] = x1[j] - u1 * s;
            x2[j] = x2[j] - u2 * s;
        }
        return;
    }
    for (std::uint64_t j = 0; j < n; ++j) {
        double s = 0.0 + u0 * x0[j] + u1 * x1[j];
        s = s * tau;
        x0[j] = x0[j] - u0 * s;
        x1[j] = x1[j] - u1 * s;
    }
}

}  // namespace kavrel_ops::application::linalg::schur::francis::bulge
