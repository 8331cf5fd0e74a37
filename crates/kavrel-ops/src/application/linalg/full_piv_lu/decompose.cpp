#include "kavrel_ops/application/linalg/full_piv_lu/decompose.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

#include "kavrel_ops/application/linalg/lu/eliminate.hpp"
#include "kavrel_ops/application/linalg/working.hpp"

namespace kavrel_ops::application::linalg::full_piv_lu::decompose {

namespace {

constexpr double relative_pivot_threshold = 1e-12;

struct Pivot {
    std::size_t row;
    std::size_t col;
    double magnitude;
};

// The first entry of largest magnitude in the trailing block, in row-major order; a NaN never
// replaces the candidate.
Pivot find_pivot(const double* w, std::size_t n, std::size_t k) {
    Pivot best{k, k, std::fabs(w[k * n + k])};
    for (std::size_t i = k; i < n; ++i) {
        const double* row = w + i * n;
        for (std::size_t j = k; j < n; ++j) {
            const double m = std::fabs(row[j]);
            if (m > best.magnitude) best = {i, j, m};
        }
    }
    return best;
}

void swap_columns(double* w, std::size_t n, std::size_t a, std::size_t b) {
    for (std::size_t r = 0; r < n; ++r) std::swap(w[r * n + a], w[r * n + b]);
}

}  // namespace

Result<FullPivLuDecomposition> full_piv_lu_decompose(const ArrayView<double, 2>& a) {
    const auto rows = working::square_order(a.rows(), a.cols());
    if (!rows) return std::unexpected(std::move(rows.error()));
    const std::size_t n = *rows;
    std::vector<double> w = working::working_copy(a);
    const auto amax = working::finite_max_abs(w, "FullPivLU input contains a non-finite value");
    if (!amax) return std::unexpected(std::move(amax.error()));
    const double threshold = relative_pivot_threshold * *amax;

    FullPivLuDecomposition f{{}, std::vector<std::uint64_t>(n), std::vector<std::uint64_t>(n), n, n, 1};
    std::iota(f.row_perm.begin(), f.row_perm.end(), std::uint64_t{0});
    std::iota(f.col_perm.begin(), f.col_perm.end(), std::uint64_t{0});
    double* m = w.data();
    for (std::size_t k = 0; k < n; ++k) {
        const Pivot pivot = find_pivot(m, n, k);
        // A NaN maximum does not stop the elimination.
        if (pivot.magnitude <= threshold) {
            f.rank = k;
            break;
        }
        if (pivot.row != k) {
            std::swap_ranges(m + k * n, m + k * n + n, m + pivot.row * n);
            std::swap(f.row_perm[k], f.row_perm[pivot.row]);
            f.sign = static_cast<std::int8_t>(-f.sign);
        }
        if (pivot.col != k) {
            swap_columns(m, n, k, pivot.col);
            std::swap(f.col_perm[k], f.col_perm[pivot.col]);
            f.sign = static_cast<std::int8_t>(-f.sign);
        }
        lu::eliminate::eliminate_below_pivot(w, n, k, n);
    }
    f.lu = std::move(w);
    return f;
}

}  // namespace kavrel_ops::application::linalg::full_piv_lu::decompose
