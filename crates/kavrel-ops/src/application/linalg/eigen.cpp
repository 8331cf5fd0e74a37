#include "kavrel_ops/application/linalg/eigen.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <utility>

#include "kavrel_ops/application/linalg/eigen/rotation.hpp"
#include "kavrel_ops/application/linalg/hessenberg.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"
#include "kavrel_ops/application/linalg/scaling/gate.hpp"
#include "kavrel_ops/application/linalg/scaling/norm_ratio.hpp"
#include "kavrel_ops/application/linalg/working.hpp"

namespace kavrel_ops::application::linalg::eigen {

namespace {

namespace ex = scaling::exponent;
using kavrel::domain::error::KavrelError;

constexpr std::uint64_t rotations_per_entry = 32;

std::unexpected<KavrelError> invalid_input(const char* what, std::uint64_t i, std::uint64_t j) {
    return std::unexpected(KavrelError(kavrel::domain::error::InvalidInput{
        std::string(what) + " at (" + std::to_string(i) + ", " + std::to_string(j) + ")"}));
}

double largest_magnitude(std::span<const double> x) {
    double m = 0.0;
    for (double v : x)
        if (std::fabs(v) > m) m = std::fabs(v);
    return m;
}

// This solver's window of the gate: lo = safmin·2^52, hi = DBL_MAX·2^-(r+1); k = 0 when nothing
// needs scaling (empty, all zeros). The entries are scaled in place by 2^-k.
Result<std::int32_t> balance(std::span<double> a) {
    const double m = largest_magnitude(a);
    if (a.empty() || m == 0.0) return 0;
    const std::int32_t r = scaling::norm_ratio::norm_ratio_log2(a, m);
    const double lo = ex::scalbn(ex::safmin(), 52);
    const double hi = ex::scalbn(ex::dbl_max(), -(r + 1));
    if (lo > hi) return kavrel::domain::error::overflow(scaling::gate::order_exceeds_range);
    const std::int32_t k = scaling::gate::balancing_exponent(m, lo, hi).value_or(0);
    ex::scale_by_power_of_two(a, -k);
    return k;
}

}  // namespace

std::uint64_t rotation_budget(std::uint64_t n) {
    if (n >= (std::uint64_t{1} << 32) || n * n >= (std::uint64_t{1} << 59)) return std::numeric_limits<std::uint64_t>::max();
    return std::max<std::uint64_t>(rotations_per_entry * n * n, 1);
}

Result<void> diagonalise(std::span<double> a, std::span<double> vt, std::uint64_t n, double norm, std::uint64_t budget) {
    const double tol = ex::eps * norm;
    // The per-row cache picks exactly the pivot a full search would, in O(n) per rotation.
    rotation::PivotRows index = rotation::index_pivots(a, n, tol);
    std::uint64_t count = 0;
    while (const auto pivot = rotation::cached_largest(index)) {
        rotation::rotate(a, vt, n, pivot->p, pivot->q);
        rotation::requalify(index, a, n, pivot->p, pivot->q);
        if (++count == budget) {
            const auto left = rotation::cached_largest(index);
            if (!left) return {};
            return std::unexpected(KavrelError(kavrel::domain::error::ConvergenceError{budget, left->value / norm, ex::eps}));
        }
    }
    return {};
}

double frobenius_norm(std::span<const double> x) {
    const double m = largest_magnitude(x);
    if (m == 0.0) return 0.0;
    double s = 0.0;
    for (double v : x) s = s + (v / m) * (v / m);
    return m * std::sqrt(s);
}

std::optional<Asymmetry> first_asymmetry(std::span<const double> a, std::uint64_t n) {
    const double m = largest_magnitude(a);
    if (m == 0.0) return std::nullopt;
    // ‖A‖_F / 2^e with 2^e the leading power of two of m: the ratios xᵢ/m are those of the norm,
    // and every scaling below is exact wherever the unscaled test would not overflow or underflow.
    const int e = ex::ilogb(m);
    double s = 0.0;
    for (double v : a) s = s + (v / m) * (v / m);
    const double thresh = (static_cast<double>(n + 2) * ex::eps) * (ex::scalbn(m, -e) * std::sqrt(s));
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = i + 1; j < n; ++j)
            if (std::fabs(ex::scalbn(a[i * n + j], -e) - ex::scalbn(a[j * n + i], -e)) > thresh) return Asymmetry{i, j};
    return std::nullopt;
}

Result<SymmetricEigen> symmetric_eigen_jacobi_with_tolerance(const ArrayView<double, 2>& view) {
    const auto rows = hessenberg::validate_square(view.rows(), view.cols());
    if (!rows) return std::unexpected(std::move(rows.error()));
    const std::uint64_t n = *rows;
    std::vector<double> a = working::working_copy(view);
    for (std::uint64_t idx = 0; idx < a.size(); ++idx)
        if (!std::isfinite(a[idx])) return invalid_input("symmetric eigensolver input has a non-finite entry", idx / n, idx % n);
    if (const auto bad = first_asymmetry(a, n)) return invalid_input("symmetric eigensolver input is not symmetric", bad->i, bad->j);
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = i + 1; j < n; ++j) a[j * n + i] = a[i * n + j];

    const auto k = balance(a);
    if (!k) return std::unexpected(std::move(k.error()));
    std::vector<double> vt = working::identity(n);
    const double norm = frobenius_norm(a);
    if (auto done = diagonalise(a, vt, n, norm, rotation_budget(n)); !done) return std::unexpected(std::move(done.error()));

    for (std::uint64_t i = 0; i < n; ++i) {
        const double w = ex::scalbn(a[i * n + i], *k);
        if (!std::isfinite(w)) return kavrel::domain::error::overflow(jacobi_eigenvalue_out_of_range);
        a[i * n + i] = w;
    }
    std::vector<std::uint64_t> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), std::uint64_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::uint64_t x, std::uint64_t y) { return a[x * n + x] < a[y * n + y]; });
    std::vector<double> w(static_cast<std::size_t>(n));
    std::vector<double> sorted(static_cast<std::size_t>(n * n), 0.0);
    for (std::uint64_t j = 0; j < n; ++j) {
        w[j] = a[order[j] * n + order[j]];
        for (std::uint64_t r = 0; r < n; ++r) sorted[r * n + j] = vt[order[j] * n + r];
    }
    auto va = kavrel::domain::error::expect(Array<double, 2>::from_vec({n, n}, std::move(sorted)),
                                            "eigenvector shape matches storage");
    return SymmetricEigen{std::move(w), std::move(va)};
}

}  // namespace kavrel_ops::application::linalg::eigen
