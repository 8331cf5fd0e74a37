#include "kavrel_ops/application/linalg/eigen/rotation.hpp"

#include <cmath>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"

namespace kavrel_ops::application::linalg::eigen::rotation {

namespace {

namespace ex = scaling::exponent;

PivotRows::Row scan_row(std::span<const double> a, std::uint64_t n, std::span<const double> root, double tol,
                        std::uint64_t i) {
    PivotRows::Row best{PivotRows::no_column, 0.0};
    for (std::uint64_t j = i + 1; j < n; ++j) {
        const double x = std::fabs(a[i * n + j]);
        if (!(x > best.value)) continue;
        if (unconverged(x, root[i], root[j], tol)) best = {j, x};
    }
    return best;
}

// Entry (r, c) of row r replaces the candidate when larger, or equal and further left.
void offer(PivotRows::Row& row, std::uint64_t c, double x) {
    if (x > row.value || (x == row.value && row.col != PivotRows::no_column && c < row.col)) row = {c, x};
}

}  // namespace

bool unconverged(double x, double si, double sj, double tol) {
    const double product = si * sj;
    return x > ex::eps * (product > tol ? product : tol);
}

std::optional<Pivot> largest_unconverged(std::span<const double> a, std::uint64_t n, std::span<double> scratch,
                                         double tol) {
    for (std::uint64_t i = 0; i < n; ++i) scratch[i] = std::sqrt(std::fabs(a[i * n + i]));
    std::optional<Pivot> best;
    double largest = 0.0;
    for (std::uint64_t i = 0; i < n; ++i) {
        for (std::uint64_t j = i + 1; j < n; ++j) {
            const double x = std::fabs(a[i * n + j]);
            if (!(x > largest)) continue;
            if (unconverged(x, scratch[i], scratch[j], tol)) {
                largest = x;
                best = Pivot{i, j, x};
            }
        }
    }
    return best;
}

void rotate(std::span<double> a, std::span<double> vt, std::uint64_t n, std::uint64_t p, std::uint64_t q) {
    if (!(p < q && q < n) || a.size() < n * n || vt.size() < n * n)
        kavrel::domain::error::fail_invariant("invariant: a Jacobi rotation plane lies inside its matrix");
    const double app = a[p * n + p], aqq = a[q * n + q], apq = a[p * n + q];
    const double theta = 0.5 * std::atan2(apq + apq, aqq - app);
    const double c = std::cos(theta), s = std::sin(theta);
    // A is exactly symmetric: rows p and q are updated contiguously over their full length (the
    // entries in columns p and q are overwritten below), then copied into columns p and q for the
    // row scans of the pivot search.
    double* __restrict const row_p = a.data() + p * n;
    double* __restrict const row_q = a.data() + q * n;
    for (std::uint64_t r = 0; r < n; ++r) {
        const double x = row_p[r], y = row_q[r];
        row_p[r] = c * x - s * y;
        row_q[r] = y * c + x * s;
    }
    for (std::uint64_t r = 0; r < n; ++r) {
        if (r == p || r == q) continue;
        a[r * n + p] = row_p[r];
        a[r * n + q] = row_q[r];
    }
    const double t = c * s + c * s;
    const double cc = c * c, ss = s * s;
    a[p * n + p] = aqq * ss + (app * cc - t * apq);
    a[q * n + q] = cc * aqq + (ss * app + t * apq);
    a[p * n + q] = a[q * n + p] = 0.0;
    double* __restrict const vt_p = vt.data() + p * n;
    double* __restrict const vt_q = vt.data() + q * n;
    for (std::uint64_t r = 0; r < n; ++r) {
        const double x = vt_p[r], y = vt_q[r];
        vt_p[r] = c * x - s * y;
        vt_q[r] = y * c + x * s;
    }
}

PivotRows index_pivots(std::span<const double> a, std::uint64_t n, double tol) {
    PivotRows index{std::vector<PivotRows::Row>(static_cast<std::size_t>(n)), std::vector<double>(static_cast<std::size_t>(n)),
                    tol};
    for (std::uint64_t i = 0; i < n; ++i) index.root_diagonal[i] = std::sqrt(std::fabs(a[i * n + i]));
    for (std::uint64_t i = 0; i < n; ++i) index.rows[i] = scan_row(a, n, index.root_diagonal, tol, i);
    return index;
}

void requalify(PivotRows& index, std::span<const double> a, std::uint64_t n, std::uint64_t p, std::uint64_t q) {
    const std::span<const double> root = index.root_diagonal;
    index.root_diagonal[p] = std::sqrt(std::fabs(a[p * n + p]));
    index.root_diagonal[q] = std::sqrt(std::fabs(a[q * n + q]));
    index.rows[p] = scan_row(a, n, root, index.tol, p);
    index.rows[q] = scan_row(a, n, root, index.tol, q);
    // Rows below q hold no entry in column p or q of the upper triangle: nothing of theirs changed.
    for (std::uint64_t r = 0; r < q; ++r) {
        if (r == p) continue;
        PivotRows::Row& row = index.rows[r];
        if (row.col == p || row.col == q) {
            row = scan_row(a, n, root, index.tol, r);
            continue;
        }
        for (const std::uint64_t c : {p, q}) {
            if (c <= r) continue;
            const double x = std::fabs(a[c * n + r]);  // = |A[r][c]|, read along row c
            // Only an entry at least as large as the candidate can replace it.
            if (x >= row.value && unconverged(x, root[r], root[c], index.tol)) offer(row, c, x);
        }
    }
}

std::optional<Pivot> cached_largest(const PivotRows& index) {
    std::optional<Pivot> best;
    double largest = 0.0;
    for (std::uint64_t i = 0; i < index.rows.size(); ++i) {
        const PivotRows::Row& row = index.rows[i];
        if (row.col != PivotRows::no_column && row.value > largest) {
            largest = row.value;
            best = Pivot{i, row.col, row.value};
        }
    }
    return best;
}

}  // namespace kavrel_ops::application::linalg::eigen::rotation
