#include "kavrel_ops/application/linalg/col_piv_qr/decompose.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <utility>

#include "kavrel_ops/application/linalg/householder.hpp"
#include "kavrel_ops/application/linalg/scaling/gate.hpp"
#include "kavrel_ops/application/linalg/working.hpp"

namespace kavrel_ops::application::linalg::col_piv_qr::decompose {

namespace {

using householder::HouseholderReflector;

constexpr double stop_tolerance = 1e-12;  // relative to the largest initial column norm
// A downdated norm that kept less than about half its digits (ratio at or below 2^-26.5) is
// recomputed from the column.
constexpr double downdate_limit = 0x1.6a09e667f3bcdp-27;
constexpr std::size_t stack_column_entries = 128;

// Σ a[i][col]² for rows [first_row, rows), in order.
double column_squares(std::span<const double> a, std::uint64_t cols, std::uint64_t col, std::uint64_t first_row,
                      std::uint64_t rows) {
    double sum = 0.0;
    for (std::uint64_t i = first_row; i < rows; ++i) sum = sum + a[i * cols + col] * a[i * cols + col];
    return sum;
}

// The first index j ≥ first with the strictly largest value; a NaN never wins.
std::uint64_t pivot_column(std::span<const double> partial, std::uint64_t first) {
    std::uint64_t p = first;
    for (std::uint64_t j = first + 1; j < partial.size(); ++j)
        if (partial[j] > partial[p]) p = j;
    return p;
}

void swap_columns(std::span<double> a, std::uint64_t rows, std::uint64_t cols, std::uint64_t x, std::uint64_t y) {
    for (std::uint64_t i = 0; i < rows; ++i) std::swap(a[i * cols + x], a[i * cols + y]);
}

// The column entries a[k … m−1][k], gathered for the reflector: on the stack for short columns,
// else in one heap buffer reused across steps.
class ColumnBuffer {
public:
    std::span<const double> gather(std::span<const double> a, std::uint64_t rows, std::uint64_t cols, std::uint64_t k) {
        const std::size_t count = static_cast<std::size_t>(rows - k);
        std::span<double> out = count <= stack_column_entries ? std::span<double>(stack_).first(count)
                                                              : (heap_.resize(count), std::span<double>(heap_));
        for (std::size_t i = 0; i < count; ++i) out[i] = a[(k + i) * cols + k];
        return out;
    }

private:
    std::array<double, stack_column_entries> stack_{};
    std::vector<double> heap_;
};

// After step k, the squared norms of the columns right of k lose row k: the cheap downdate, or an
// exact recomputation once the downdate has cancelled too much.
void downdate_norms(std::span<const double> a, std::uint64_t rows, std::uint64_t cols, std::uint64_t k,
                    std::span<double> partial, std::span<double> reference) {
    for (std::uint64_t j = k + 1; j < cols; ++j) {
        if (partial[j] == 0.0) continue;
        const double akj = a[k * cols + j];
        const double t = std::max(partial[j] - akj * akj, 0.0);
        if (t / reference[j] > downdate_limit) {
            partial[j] = t;
        } else if (k + 1 < rows) {
            partial[j] = reference[j] = column_squares(a, cols, j, k + 1, rows);
        } else {
            partial[j] = reference[j] = 0.0;
        }
    }
}

}  // namespace

std::vector<double> column_norms(std::span<const double> a, std::uint64_t rows, std::uint64_t cols) {
    std::vector<double> norms(static_cast<std::size_t>(cols), 0.0);
    // Row by row for the cache; each column still adds its rows in increasing order.
    for (std::uint64_t i = 0; i < rows; ++i)
        for (std::uint64_t j = 0; j < cols; ++j) norms[j] = norms[j] + a[i * cols + j] * a[i * cols + j];
    return norms;
}

Result<ColPivQrDecomposition> factor(const ArrayView<double, 2>& view) {
    const std::uint64_t m = view.rows(), n = view.cols();
    auto copy = working::finite_working_copy(view, "ColPivQR input contains a non-finite value");
    if (!copy) return std::unexpected(std::move(copy.error()));
    std::vector<double> a = std::move(*copy);

    std::vector<double> q = working::identity(m);
    std::vector<std::uint64_t> perm(static_cast<std::size_t>(n));
    for (std::uint64_t j = 0; j < n; ++j) perm[j] = j;

    std::vector<double> partial = column_norms(a, m, n);
    std::vector<double> reference = partial;
    double max_norm2 = 0.0;
    for (double norm2 : partial)
        if (norm2 > max_norm2) max_norm2 = norm2;
    const double tol = n == 0 ? 0.0 : std::sqrt(max_norm2) * stop_tolerance;

    ColumnBuffer column;
    std::vector<double> work;
    const std::uint64_t steps = std::min(m, n);
    std::uint64_t rank = steps;
    for (std::uint64_t k = 0; k < steps; ++k) {
        const std::uint64_t p = pivot_column(partial, k);
        const double s = std::sqrt(column_squares(a, n, p, k, m));
        if (tol >= s) {
            rank = k;
            break;
        }
        if (p != k) {
            swap_columns(a, m, n, k, p);
            std::swap(perm[k], perm[p]);
            std::swap(partial[k], partial[p]);
            std::swap(reference[k], reference[p]);
        }
        if (const std::optional<HouseholderReflector> h = householder::reflector(column.gather(a, m, n, k))) {
            householder::apply_left(*h, a, n, k, k, n, work);
            householder::apply_right(*h, q, m, 0, m, k);  // Q := Q·H
        }
        downdate_norms(a, m, n, k, partial, reference);
    }

    // Below the diagonal: the annihilated entries (rounding level) and, after a stop, the
    // unreduced part.
    for (std::uint64_t i = 1; i < m; ++i)
        std::fill_n(a.begin() + static_cast<std::ptrdiff_t>(i * n), std::min(i, n), 0.0);
    return ColPivQrDecomposition{std::move(q), std::move(a), std::move(perm), rank, m, n};
}

Result<ColPivQrDecomposition> factor_balanced(const ArrayView<double, 2>& view) {
    namespace gate = scaling::gate;
    return gate::solve_scaled(view, gate::balanced_by_rows(view), factor, [](ColPivQrDecomposition& d, std::int32_t k) {
        return gate::restore_if_scaled(d.r, k, gate::r_entry_out_of_range);
    });
}

}  // namespace kavrel_ops::application::linalg::col_piv_qr::decompose
