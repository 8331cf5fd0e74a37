#include "kavrel_ops/application/linalg/full_piv_lu/decompose.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <span>
#include <utility>
#include <vector>

#include "kavrel_ops/application/linalg/lu/eliminate.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"
#include "kavrel_ops/application/linalg/scaling/gate.hpp"
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

namespace {

// The elimination of f.lu (the input at some scale) with its stop threshold.
void eliminate(FullPivLuDecomposition& f, double threshold) {
    const std::size_t n = f.n;
    double* m = f.lu.data();
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
        lu::eliminate::eliminate_below_pivot(f.lu, n, k, n);
    }
}

// Everything of W but the multipliers times 2^k: U and the remainder scale with the input.
void scale_back(FullPivLuDecomposition& f, std::int32_t k) {
    const std::size_t n = f.n;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t multipliers = std::min<std::size_t>(i, f.rank);
        scaling::exponent::scale_by_power_of_two(std::span<double>(f.lu).subspan(i * n + multipliers, n - multipliers), k);
    }
}

}  // namespace

Result<FullPivLuDecomposition> full_piv_lu_decompose(const ArrayView<double, 2>& a) {
    auto input = working::finite_square_copy(a, "FullPivLU input contains a non-finite value");
    if (!input) return std::unexpected(std::move(input.error()));
    const std::size_t n = input->n;
    const double amax = input->amax;

    // An infinite or NaN value formed from finite entries is an overflow of the updates: the
    // next scale is tried, none that rounds an entry. With complete pivoting no product
    // overflows (|l| ≤ 1, |u| at most the pivot), and an update that does becomes the next
    // pivot, so every such overflow is a U entry beyond the range and ends in factor_out_of_range
    // at every scale.
    return scaling::gate::factor_in_range<FullPivLuDecomposition>(
        amax, n, [&](std::int32_t k) -> scaling::gate::Attempt<FullPivLuDecomposition> {
            FullPivLuDecomposition f{working::attempt_entries(*input, a, k), std::vector<std::uint64_t>(n),
                                     std::vector<std::uint64_t>(n), n, n, 1};
            std::iota(f.row_perm.begin(), f.row_perm.end(), std::uint64_t{0});
            std::iota(f.col_perm.begin(), f.col_perm.end(), std::uint64_t{0});
            // 1e-12·max|a| at the attempt's scale, exactly the scaled threshold.
            eliminate(f, relative_pivot_threshold * scaling::exponent::scalbn(amax, -k));
            if (!working::all_finite(f.lu)) return {kavrel::domain::error::overflow(factor_out_of_range), false};
            scale_back(f, k);
            if (!working::all_finite(f.lu)) return {kavrel::domain::error::overflow(factor_out_of_range), true};
            return {std::move(f), true};
        },
        [&] { return working::exact_scale_limit(a, working::Entries::all); });
}

}  // namespace kavrel_ops::application::linalg::full_piv_lu::decompose
