#include "kavrel_ops/application/linalg/cholesky.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "kavrel_ops/application/linalg/working.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"

namespace kavrel_ops::application::linalg::cholesky {

namespace {

using Scalar = kavrel_ops::domain::scalar::contract::Scalar<double>;

}  // namespace

Result<CholeskyDecomposition> cholesky_decompose(const ArrayView<double, 2>& a) {
    const auto rows = working::square_order(a.rows(), a.cols());
    if (!rows) return std::unexpected(std::move(rows.error()));
    const std::size_t n = *rows;
    auto w = working::finite_working_copy(a, "Cholesky input contains a non-finite value");
    if (!w) return std::unexpected(std::move(w.error()));
    double* m = w->data();
    for (std::size_t i = 0; i < n; ++i) {
        double* row = m + i * n;
        for (std::size_t j = 0; j < i; ++j) {
            const double s = Scalar::dot_slice({row, j}, {m + j * n, j});
            row[j] = (row[j] - s) / m[j * n + j];
        }
        const double r = row[i] - Scalar::dot_slice({row, i}, {row, i});
        // Negated so that a NaN reduction (finite but extreme entries overflowing in the inner
        // products) fails like a non-positive one instead of becoming a NaN factor.
        if (!(r > 0.0))
            return kavrel::domain::error::storage_error("Cholesky pivot " + std::to_string(i) +
                                                        " is non-positive: matrix is not positive-definite");
        row[i] = std::sqrt(r);
        std::fill(row + i + 1, row + n, 0.0);
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
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t c = 0; c < count; ++c) {
            const std::span<double> x = b.subspan(c * n, n);
            const double s = Scalar::dot_slice({f + i * n, i}, x.first(i));
            x[i] = (x[i] - s) / f[i * n + i];
        }
    }
    // Lᵀ·x = y walks column i of L with stride n; each entry read serves up to `lanes` right-hand
    // sides, every one still subtracting its terms in the order of k.
    constexpr std::size_t lanes = 8;
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

}  // namespace kavrel_ops::application::linalg::cholesky
