#include "kavrel_ops/application/linalg/cholesky.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "kavrel_ops/application/linalg/working.hpp"
#include "kavrel_ops/domain/scalar/slice_kernels.hpp"
#include "kavrel_ops/domain/tuning.hpp"

namespace kavrel_ops::application::linalg::cholesky {

namespace {

namespace tuning = kavrel_ops::domain::tuning;

using Kernels = kavrel_ops::domain::scalar::slice_kernels::SliceKernels<double>;

// L(i, j) = (A(i, j) − Σ_{t<j} L(i, t)·L(j, t)) / L(j, j), the row's own entries left of j and
// row j's already final; the inner product is dot_slice's, of two runs of j entries.
void off_diagonal(const Kernels& k, double* m, std::size_t n, std::size_t i, std::size_t j) {
    double* row = m + i * n;
    const double s = k.dot(row, m + j * n, j);
    row[j] = (row[j] - s) / m[j * n + j];
}

}  // namespace

Result<CholeskyDecomposition> cholesky_decompose(const ArrayView<double, 2>& a) {
    const auto rows = working::square_order(a.rows(), a.cols());
    if (!rows) return std::unexpected(std::move(rows.error()));
    const std::size_t n = *rows;
    auto w = working::finite_working_copy(a, "Cholesky input contains a non-finite value");
    if (!w) return std::unexpected(std::move(w.error()));
    double* m = w->data();
    const Kernels& k = kavrel_ops::domain::scalar::slice_kernels::current<double>();
    // Row by row as the definition goes, rows in groups: every entry gets exactly its own inner
    // product and division, only entries that do not depend on each other are interleaved.
    constexpr std::size_t group = tuning::cholesky_row_group;
    for (std::size_t first = 0; first < n; first += group) {
        const std::size_t last = std::min(first + group, n);
        for (std::size_t j = 0; j < first; ++j)
            for (std::size_t i = first; i < last; ++i) off_diagonal(k, m, n, i, j);
        for (std::size_t i = first; i < last; ++i) {
            for (std::size_t j = first; j < i; ++j) off_diagonal(k, m, n, i, j);
            double* row = m + i * n;
            const double r = row[i] - k.dot(row, row, i);
            // Negated so that a NaN reduction (finite but extreme entries overflowing in the inner
            // products) fails like a non-positive one instead of becoming a NaN factor.
            if (!(r > 0.0))
                return kavrel::domain::error::storage_error("Cholesky pivot " + std::to_string(i) +
                                                            " is non-positive: matrix is not positive-definite");
            row[i] = std::sqrt(r);
            std::fill(row + i + 1, row + n, 0.0);
        }
    }
    auto l = kavrel::domain::error::expect(Array<double, 2>::from_vec({n, n}, std::move(*w)), "square factor storage");
    return CholeskyDecomposition{std::move(l), n};
}

void CholeskyDecomposition::solve_in_place(std::span<double> b) const { solve_columns_in_place(b, 1); }

void CholeskyDecomposition::solve_columns_in_place(std::span<double> b, std::size_t count) const {
    if (count == 0 || b.size() % count != 0 || b.size() / count != n)
        kavrel::domain::error::fail_invariant("invariant: Cholesky right-hand side has the factor's order");
    if (n == 0) return;
    const double* f = l.data();
    const Kernels& k = kavrel_ops::domain::scalar::slice_kernels::current<double>();
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t c = 0; c < count; ++c) {
            double* x = b.data() + c * n;
            x[i] = (x[i] - k.dot(f + i * n, x, i)) / f[i * n + i];
        }
    }
    // Lᵀ·x = y walks column i of L with stride n; each entry read serves up to `lanes` right-hand
    // sides, every one still subtracting its terms in the order of k.
    constexpr std::size_t lanes = tuning::cholesky_back_substitution_columns;
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t first = 0; first < count; first += lanes) {
            const std::size_t width = std::min(lanes, count - first);
            double* x = b.data() + first * n;
            double h[lanes];
            for (std::size_t c = 0; c < width; ++c) h[c] = x[c * n + i];
            for (std::size_t k = i + 1; k < n; ++k) {
                const double l = f[k * n + i];
                for (std::size_t c = 0; c < width; ++c) h[c] = h[c] - x[c * n + k] * l;
            }
            for (std::size_t c = 0; c < width; ++c) x[c * n + i] = h[c] / f[i * n + i];
        }
    }
}

namespace {

// L·Lᵀ·y = x in the unbounded exponent: the substitutions of solve_in_place without a value
// leaving the range.
auto wide_substitutions(const CholeskyDecomposition& f) {
    return [&f](std::span<working::Wide> x) {
        const std::span<const double> l(f.l.data(), f.l.len());
        working::wide_lower_solve(l, f.n, false, x);
        working::wide_lower_transposed_solve(l, f.n, x);
    };
}

}  // namespace

Result<Array<double, 1>> cholesky_solution(const ArrayView<double, 2>& a, const ArrayView<double, 1>& b) {
    auto f = cholesky_decompose(a);
    if (!f) return std::unexpected(std::move(f.error()));
    return working::solve_vector(
        f->n, b, [](std::uint64_t i) { return i; }, working::FactorScales{},
        [&](std::span<double> x, std::size_t) { f->solve_in_place(x); }, wide_substitutions(*f));
}

Result<Array<double, 2>> cholesky_inverse(const ArrayView<double, 2>& a) {
    auto f = cholesky_decompose(a);
    if (!f) return std::unexpected(std::move(f.error()));
    const std::size_t n = f->n;
    std::vector<double> result = working::solve_unit_columns(
        n, [](std::size_t i, std::size_t j) { return i == j; }, working::FactorScales{},
        [&](std::span<double> rhs, std::size_t count) { f->solve_columns_in_place(rhs, count); },
        wide_substitutions(*f));
    return Array<double, 2>::from_vec({n, n}, std::move(result));
}

}  // namespace kavrel_ops::application::linalg::cholesky
