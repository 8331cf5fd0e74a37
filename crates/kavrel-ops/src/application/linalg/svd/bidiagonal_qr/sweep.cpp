#include "kavrel_ops/application/linalg/svd/bidiagonal_qr/sweep.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <type_traits>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"

namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::sweep {

namespace ex = scaling::exponent;
using chase::Down;
using chase::Up;
using rotation::generate_rotation;
using rotation::Rotation;

namespace {

void require_three_rows(const OrientedBlock& block) {
    if (block.hi - block.lo < 2)
        kavrel::domain::error::fail_invariant("invariant: a shifted sweep works on a block of three rows or more");
}

}  // namespace

void rotate_factor(const std::optional<FactorRows>& rows, std::uint64_t p, std::uint64_t q, double c, double s) {
    if (rows) rotation::rotate_rows(rows->data, rows->row_len, p, q, c, s);
}

ShiftWindow shift_window() noexcept {
    const double q = std::sqrt(std::sqrt(ex::safmin()));
    const double u = std::sqrt(std::sqrt(ex::dbl_max() * 0.5));
    return {q + q * ex::eps, u - u * ex::eps};
}

template <Direction D>
std::optional<ShiftStart> shifted_start(const OrientedBlock& block, const ShiftWindow& window) {
    require_three_rows(block);
    const auto& d = block.d;
    const auto& e = block.e;
    const std::uint64_t ll = block.lo, m = block.hi;
    // The end entry's diagonal and superdiagonal, the neighbouring pair, the far end and its
    // superdiagonal neighbour.
    std::array<double, 6> v;
    if constexpr (std::is_same_v<D, Down>) v = {d[m], d[m - 1], e[m - 1], e[m - 2], d[ll], e[ll]};
    else v = {d[ll], d[ll + 1], e[ll], e[ll + 1], d[m], e[m - 1]};
    double big = 0.0;
    for (double x : v) big = std::max(big, std::fabs(x));
    if (big != 0.0 && std::isfinite(big) && (big < window.lo || big > window.hi)) {
        const int k = ex::ilogb(big);
        for (double& x : v) x = ex::scalbn(x, -k);
    }
    const auto [d_end, d_next, e_end, e_next, w, e_far] = v;

    // The corner [[a, b], [b, c]] with c at the end where the chase does not start.
    const double c = e_end * e_end + d_end * d_end;
    const double a = e_next * e_next + d_next * d_next;
    const double b = e_end * d_next;
    const double delta = (a - c) * 0.5;
    const double b2 = b * b;
    const double den = std::sqrt(delta * delta + b2) + std::fabs(delta);
    const double q = delta < 0.0 ? -b2 : b2;
    const double mu = den == 0.0 ? c : c - q / den;
    if (!(w * w * ex::eps <= std::fabs(mu))) return std::nullopt;
    return ShiftStart{w * w - mu, w * e_far};
}

template <Direction D>
void zero_shift_sweep(OrientedBlock& block, const RotationWindow& window, const RotationTargets& rows) {
    auto& d = block.d;
    auto& e = block.e;
    const std::uint64_t ll = block.lo, m = block.hi;
    double cs = 1.0, oldcs = 1.0, oldsn = 0.0;
    if constexpr (std::is_same_v<D, Down>) {
        for (std::uint64_t i = ll; i < m; ++i) {
            const Rotation first = generate_rotation(cs * d[i], e[i], window);
            cs = first.c;
            if (i > ll) e[i - 1] = oldsn * first.r;
            const Rotation second = generate_rotation(oldcs * first.r, first.s * d[i + 1], window);
            oldcs = second.c;
            oldsn = second.s;
            d[i] = second.r;
            rotate_factor(rows.right, i, i + 1, first.c, first.s);
            rotate_factor(rows.left, i, i + 1, second.c, second.s);
        }
        const double h = cs * d[m];
        d[m] = oldcs * h;
        e[m - 1] = oldsn * h;
    } else {
        for (std::uint64_t i = m; i > ll; --i) {
            const Rotation first = generate_rotation(cs * d[i], e[i - 1], window);
            cs = first.c;
            if (i < m) e[i] = oldsn * first.r;
            const Rotation second = generate_rotation(oldcs * first.r, first.s * d[i - 1], window);
            oldcs = second.c;
            oldsn = second.s;
            d[i] = second.r;
            rotate_factor(rows.left, i, i - 1, first.c, first.s);
            rotate_factor(rows.right, i, i - 1, second.c, second.s);
        }
        const double h = cs * d[ll];
        d[ll] = oldcs * h;
        e[ll] = oldsn * h;
    }
}

template <Direction D>
void shifted_sweep(OrientedBlock& block, ShiftStart start, const RotationWindow& window,
                   const RotationTargets& rows) {
    auto& d = block.d;
    auto& e = block.e;
    const std::uint64_t ll = block.lo, m = block.hi;
    double f = start.y, g = start.z;
    if constexpr (std::is_same_v<D, Down>) {
        for (std::uint64_t i = ll; i < m; ++i) {
            const Rotation first = generate_rotation(f, g, window);
            if (i > ll) e[i - 1] = first.r;
            f = first.c * d[i] + first.s * e[i];
            const double t_e = first.c * e[i] - first.s * d[i];
            g = first.s * d[i + 1];
            const double t_d = first.c * d[i + 1];
            const Rotation second = generate_rotation(f, g, window);
            d[i] = second.r;
            e[i] = second.c * t_e + second.s * t_d;
            d[i + 1] = second.c * t_d - second.s * t_e;
            if (i + 1 < m) {
                g = second.s * e[i + 1];
                e[i + 1] = second.c * e[i + 1];
                f = e[i];
            }
            rotate_factor(rows.right, i, i + 1, first.c, first.s);
            rotate_factor(rows.left, i, i + 1, second.c, second.s);
        }
    } else {
        for (std::uint64_t i = m; i > ll; --i) {
            const Rotation first = generate_rotation(f, g, window);
            if (i < m) e[i] = first.r;
            f = first.c * d[i] + first.s * e[i - 1];
            const double t_e = first.c * e[i - 1] - first.s * d[i];
            g = first.s * d[i - 1];
            const double t_d = first.c * d[i - 1];
            const Rotation second = generate_rotation(f, g, window);
            d[i] = second.r;
            e[i - 1] = second.c * t_e + second.s * t_d;
            d[i - 1] = second.c * t_d - second.s * t_e;
            if (i - 1 > ll) {
                g = second.s * e[i - 2];
                e[i - 2] = second.c * e[i - 2];
                f = e[i - 1];
            }
            rotate_factor(rows.left, i, i - 1, first.c, first.s);
            rotate_factor(rows.right, i, i - 1, second.c, second.s);
        }
    }
}

void chase_zero_at_top(OrientedBlock& block, std::uint64_t idx, const RotationWindow& window,
                       const RotationTargets& rows) {
    auto& d = block.d;
    auto& e = block.e;
    const std::uint64_t m = block.hi;
    if (idx < block.lo || idx >= m) kavrel::domain::error::fail_invariant("invariant: a zero chase starts inside its block");
    double bulge = e[idx];
    d[idx] = 0.0;
    e[idx] = 0.0;
    // Runs to the end of the block even after the bulge has vanished.
    for (std::uint64_t j = idx + 1; j <= m; ++j) {
        const Rotation r = generate_rotation(d[j], bulge, window);
        d[j] = r.r;
        rotate_factor(rows.left, j, idx, r.c, r.s);
        if (j < m) {
            const double old = e[j];
            bulge = r.s * (-old);
            e[j] = r.c * old;
        }
    }
}

void chase_zero_at_bottom(OrientedBlock& block, const RotationWindow& window, const RotationTargets& rows) {
    auto& d = block.d;
    auto& e = block.e;
    const std::uint64_t ll = block.lo, m = block.hi;
    double bulge = e[m - 1];
    d[m] = 0.0;
    e[m - 1] = 0.0;
    for (std::uint64_t j = m; j-- > ll;) {
        const Rotation r = generate_rotation(d[j], bulge, window);
        d[j] = r.r;
        rotate_factor(rows.right, j, m, r.c, r.s);
        if (j > ll) {
            const double old = e[j - 1];
            bulge = r.s * (-old);
            e[j - 1] = r.c * old;
        }
    }
}

template std::optional<ShiftStart> shifted_start<Up>(const OrientedBlock&, const ShiftWindow&);
template std::optional<ShiftStart> shifted_start<Down>(const OrientedBlock&, const ShiftWindow&);
template void zero_shift_sweep<Up>(OrientedBlock&, const RotationWindow&, const RotationTargets&);
template void zero_shift_sweep<Down>(OrientedBlock&, const RotationWindow&, const RotationTargets&);
template void shifted_sweep<Up>(OrientedBlock&, ShiftStart, const RotationWindow&, const RotationTargets&);
template void shifted_sweep<Down>(OrientedBlock&, ShiftStart, const RotationWindow&, const RotationTargets&);

}  // namespace kavrel_ops::application::linalg::svd::bidiagonal_qr::sweep
