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

// This solver's window of the gate: lo = safmin·2^52, hi = DBL_MAX·2^-(r+1), no floor of its own;
// k = 0 when nothing needs scaling (empty, all zeros). The entries are scaled in place by 2^-k.
Result<std::int32_t> balance(std::span<double> a) {
    const double m = largest_magnitude(a);
    if (a.empty() || m == 0.0) return 0;
    const std::int32_t r = scaling::norm_ratio::norm_ratio_log2(a, m);
    return scaling::gate::balance_in_place(a, m, {ex::scalbn(ex::safmin(), 52), ex::scalbn(ex::dbl_max(), -(r + 1)), 0.0});
}

// A diagonalised matrix: its diagonal in index order and the accumulated Vᵀ (row-major).
struct Diagonal {
    std::vector<double> w;
    std::vector<double> vt;
};

// The rotations on the balanced symmetric n×n `a` from V = I, until nothing is unconverged.
Result<Diagonal> diagonalised(std::vector<double> a, std::uint64_t n) {
    std::vector<double> vt = working::identity(n);
    const double norm = frobenius_norm(a);
    if (auto done = diagonalise(a, vt, n, norm, rotation_budget(n)); !done) return std::unexpected(std::move(done.error()));
    std::vector<double> w(static_cast<std::size_t>(n));
    for (std::uint64_t i = 0; i < n; ++i) w[i] = a[i * n + i];
    return Diagonal{std::move(w), std::move(vt)};
}

// The eigenvalues scaled back by 2^k and range-checked, also when nothing was scaled.
Result<void> restore_eigenvalues(Diagonal& d, std::int32_t k) {
    return scaling::gate::restore(d.w, k, jacobi_eigenvalue_out_of_range);
}

// The eigenvalues in ascending order (a stable sort, so equal values keep their index order) with
// their eigenvectors as the columns of V.
SymmetricEigen ascending(const Diagonal& d, std::uint64_t n) {
    std::vector<std::uint64_t> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), std::uint64_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::uint64_t x, std::uint64_t y) { return d.w[x] < d.w[y]; });
    std::vector<double> w(static_cast<std::size_t>(n));
    std::vector<double> sorted(static_cast<std::size_t>(n * n), 0.0);
    for (std::uint64_t j = 0; j < n; ++j) {
        w[j] = d.w[order[j]];
        for (std::uint64_t r = 0; r < n; ++r) sorted[r * n + j] = d.vt[order[j] * n + r];
    }
    auto va = kavrel::domain::error::expect(Array<double, 2>::from_vec({n, n}, std::move(sorted)),
                                            "eigenvector shape matches storage");
    return SymmetricEigen{std::move(w), std::move(va)};
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

    const auto d = scaling::gate::solve_scaled(balance(a), [&] { return diagonalised(std::move(a), n); }, restore_eigenvalues);
    if (!d) return std::unexpected(d.error());
    return ascending(*d, n);
}

}  // namespace kavrel_ops::application::linalg::eigen
