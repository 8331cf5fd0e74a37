#include "kavrel_ops/application/linalg/svd/bidiagonal_qr/rotation.hpp"

#include <cmath>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"

namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::rotation {

namespace ex = scaling::exponent;
using kavrel::domain::error::fail_invariant;

RotationWindow rotation_window() noexcept {
    const double root_safmin = std::sqrt(ex::safmin());
    const double t = std::sqrt(ex::dbl_max() * 0.5);
    return {root_safmin + root_safmin * ex::eps, t - t * ex::eps};
}

Rotation generate_rotation(double f, double g, const RotationWindow& window) noexcept {
    if (g == 0.0) return {1.0, 0.0, f};
    const double mx = std::fmax(std::fabs(f), std::fabs(g));
    int k = 0;
    if (mx != 0.0 && std::isfinite(mx) && (mx < window.lo || mx > window.hi)) k = ex::ilogb(mx);
    const double fs = ex::scalbn(f, -k);
    const double gs = ex::scalbn(g, -k);
    const double d = std::sqrt(fs * fs + gs * gs);
    const double w = 1.0 / d;
    return {fs * w, gs * w, ex::scalbn(d, k)};
}

void rotate_rows(std::span<double> buffer, std::uint64_t row_len, std::uint64_t p, std::uint64_t q, double c,
                 double s) {
    if (p == q) fail_invariant("invariant: a row rotation combines two different rows");
    std::uint64_t p_start, q_start, p_end, q_end;
    if (__builtin_mul_overflow(p, row_len, &p_start) || __builtin_mul_overflow(q, row_len, &q_start) ||
        __builtin_add_overflow(p_start, row_len, &p_end) || __builtin_add_overflow(q_start, row_len, &q_end) ||
        p_end > buffer.size() || q_end > buffer.size())
        fail_invariant("invariant: rotated rows lie inside their buffer");
    double* __restrict const x = buffer.data() + p_start;
    double* __restrict const y = buffer.data() + q_start;
    for (std::uint64_t j = 0; j < row_len; ++j) {
        const double xj = x[j];
        const double yj = y[j];
        x[j] = c * xj + s * yj;
        y[j] = c * yj - s * xj;
    }
}

}  // namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::rotation
