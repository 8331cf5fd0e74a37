#include "kavrel_ops/application/linalg/udu/decompose.hpp"

#include <cmath>
#include <cstddef>
#include <span>
#include <utility>

#include "kavrel_ops/application/linalg/scaling/exponent.hpp"
#include "kavrel_ops/application/linalg/scaling/gate.hpp"
#include "kavrel_ops/application/linalg/working.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"

namespace kavrel_ops::application::linalg::udu::decompose {

namespace {

using Scalar = kavrel_ops::domain::scalar::contract::Scalar<double>;
namespace gate = scaling::gate;

constexpr double symmetry_tolerance = 1e-9;  // times max|a|
constexpr double pivot_tolerance = 1e-12;    // times max|a|

std::unexpected<kavrel::domain::error::KavrelError> zero_pivot() {
    return kavrel::domain::error::storage_error("UDU encountered a zero pivot (needs symmetric pivoting)");
}

// How the columns of one attempt ended.
enum class Columns { factored, small_pivot, nan_pivot };

// The columns from the last to the first into f, m the n×n input (row-major) and tol the pivot
// tolerance at its scale. Stops at the first pivot that is NaN or at most tol in magnitude.
Columns factor_columns(const double* m, std::size_t n, double tol, UduDecomposition& f) {
    std::vector<double> w(n);  // U(j, k)·d[k] over the columns k > j already done
    double* u = f.u.data();
    for (std::size_t j = n; j-- > 0;) {
        const std::size_t done = n - 1 - j;
        for (std::size_t t = 0; t < done; ++t) w[t] = u[j * n + j + 1 + t] * f.d[j + 1 + t];
        const std::span<const double> weights{w.data(), done};
        const double dj = m[j * n + j] - Scalar::dot_slice({u + j * n + j + 1, done}, weights);
        if (std::isnan(dj)) return Columns::nan_pivot;
        if (std::fabs(dj) <= tol) return Columns::small_pivot;
        f.d[j] = dj;
        u[j * n + j] = 1.0;
        for (std::size_t i = j; i-- > 0;)
            u[i * n + j] = (m[i * n + j] - Scalar::dot_slice({u + i * n + j + 1, done}, weights)) / dj;
    }
    return Columns::factored;
}

}  // namespace

Result<UduDecomposition> udu_decompose(const ArrayView<double, 2>& a) {
    const auto rows = working::square_order(a.rows(), a.cols());
    if (!rows) return std::unexpected(std::move(rows.error()));
    const std::size_t n = *rows;
    std::vector<double> copy;
    const std::span<const double> input = working::row_major_elements(a, copy);
    const double* m = input.data();
    const auto amax = working::finite_max_abs({m, n * n}, "UDU input contains a non-finite value");
    if (!amax) return std::unexpected(std::move(amax.error()));
    const double symmetric_within = symmetry_tolerance * *amax;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            if (std::fabs(m[i * n + j] - m[j * n + i]) > symmetric_within)
                return kavrel::domain::error::storage_error("UDU requires a symmetric matrix");

    // A NaN pivot or factor comes only from an intermediate that overflowed: the next scale is
    // tried, and at the unit scale a NaN pivot fails like a small one. No scale goes further than
    // keeps every entry of the upper triangle exact (the factors of a rounded matrix are not A's):
    // where that stops short of the unit scale, a NaN pivot is an overflow.
    const auto exact_limit = [&] { return working::exact_scale_limit(a, working::Entries::upper); };
    std::vector<double> scaled;
    return gate::factor_in_range<UduDecomposition>(*amax, n, [&](std::int32_t k) -> gate::Attempt<UduDecomposition> {
        const double* matrix = m;
        if (k != 0) {
            scaled.assign(m, m + n * n);
            scaling::exponent::scale_by_power_of_two(scaled, -k);
            matrix = scaled.data();
        }
        const double tol = pivot_tolerance * scaling::exponent::scalbn(*amax, -k);
        UduDecomposition f{std::vector<double>(n * n), std::vector<double>(n), n};
        const Columns columns = factor_columns(matrix, n, tol, f);
        if (columns == Columns::small_pivot) return {zero_pivot(), true};
        const bool finite = columns == Columns::factored && working::all_finite(f.u) && working::all_finite(f.d);
        if (columns == Columns::nan_pivot)
            return {k < scaling::exponent::ilogb(*amax) ? kavrel::domain::error::overflow(factor_out_of_range) : zero_pivot(),
                    false};
        if (auto restored = gate::restore(f.d, k, factor_out_of_range); !restored || !working::all_finite(f.u))
            return {kavrel::domain::error::overflow(factor_out_of_range), finite};
        return {std::move(f), true};
    }, exact_limit);
}

}  // namespace kavrel_ops::application::linalg::udu::decompose
