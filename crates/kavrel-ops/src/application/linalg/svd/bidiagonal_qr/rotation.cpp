#include "kavrel_ops/application/linalg/svd/bidiagonal_qr/rotation.hpp"

#include <cmath>

#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"

namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::rotation {

namespace ex = scaling::exponent;

namespace checked = kavrel::domain::checked;
using kavrel::domain::error::fail_invariant;

RotationWindow rotation_window() noexcept {
    const double root_safmin = std::sqrt(ex::safmin());
    const double t = std::sqrt(ex::dbl_max() * 0.5);
    return {root_safmin + root_safmin * ex::eps, t - t * ex::eps};
}

Rotation generate_rotation(double f, double g, const RotationWindow& window) noexcept {
    if (g == 0.0) return {1.0, 0.0, f};
    const double mx = std::fmax(std::fabs(f), std::fabs(g));
    // Inside the window (the common case) nothing is scaled: one square root and one division.
    if (!(mx < window.lo || mx > window.hi) || mx == 0.0 || !std::isfinite(mx)) {
        const double d = std::sqrt(f * f + g * g);
        const double w = 1.0 / d;
        return {f * w, g * w, d};
    }
    const int k = ex::ilogb(mx);
    const double fs = ex::scalbn(f, -k);
    const double gs = ex::scalbn(g, -k);
    const double d = std::sqrt(fs * fs + gs * gs);
    const double w = 1.0 / d;
    return {fs * w, gs * w, ex::scalbn(d, k)};
}

void rotate_rows(std::span<double> buffer, std::uint64_t row_len, std::uint64_t p, std::uint64_t q, double c,
                 double s) {
    if (p == q) fail_invariant("invariant: a row rotation combines two different rows");
    constexpr const char* outside = "invariant: rotated rows lie inside their buffer";
    const std::uint64_t p_start = checked::expect(checked::mul(p, row_len), outside);
    const std::uint64_t q_start = checked::expect(checked::mul(q, row_len), outside);
    if (!checked::ends_within(p_start, row_len, buffer.size())) fail_invariant(outside);
    if (!checked::ends_within(q_start, row_len, buffer.size())) fail_invariant(outside);
    double* __restrict const x = buffer.data() + p_start;
    double* __restrict const y = buffer.data() + q_start;
    // Two columns at a time: the pairs are independent, which lets the compiler keep them in one
    // vector register on every x86-64.
    std::uint64_t j = 0;
    for (; j + 2 <= row_len; j += 2) {
        const double x0 = x[j], x1 = x[j + 1];
        const double y0 = y[j], y1 = y[j + 1];
        x[j] = c * x0 + s * y0;
        x[j + 1] = c * x1 + s * y1;
        y[j] = c * y0 - s * x0;
        y[j + 1] = c * y1 - s * x1;
    }
    if (j < row_len) {
        const double xj = x[j], yj = y[j];
        x[j] = c * xj + s * yj;
        y[j] = c * yj - s * xj;
    }
}

}  // namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::rotation
