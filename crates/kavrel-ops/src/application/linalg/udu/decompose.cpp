#include "kavrel_ops/application/linalg/udu/decompose.hpp"

#include <cmath>
#include <cstddef>
#include <span>
#include <utility>

#include "kavrel_ops/application/linalg/working.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"

namespace kavrel_ops::application::linalg::udu::decompose {

namespace {

using Scalar = kavrel_ops::domain::scalar::contract::Scalar<double>;

constexpr double symmetry_tolerance = 1e-9;  // times max|a|
constexpr double pivot_tolerance = 1e-12;    // times max|a|

}  // namespace

Result<UduDecomposition> udu_decompose(const ArrayView<double, 2>& a) {
    const auto rows = working::square_order(a.rows(), a.cols());
    if (!rows) return std::unexpected(std::move(rows.error()));
    const std::size_t n = *rows;
    std::vector<double> copy;
    const double* m = working::row_major_elements(a, copy).data();
    const auto amax = working::finite_max_abs({m, n * n}, "UDU input contains a non-finite value");
    if (!amax) return std::unexpected(std::move(amax.error()));
    const double symmetric_within = symmetry_tolerance * *amax;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            if (std::fabs(m[i * n + j] - m[j * n + i]) > symmetric_within)
                return kavrel::domain::error::storage_error("UDU requires a symmetric matrix");

    const double tol = pivot_tolerance * *amax;
    UduDecomposition f{std::vector<double>(n * n), std::vector<double>(n), n};
    std::vector<double> w(n);  // U(j, k)·d[k] over the columns k > j already done
    double* u = f.u.data();
    for (std::size_t j = n; j-- > 0;) {
        const std::size_t done = n - 1 - j;
        for (std::size_t t = 0; t < done; ++t) w[t] = u[j * n + j + 1 + t] * f.d[j + 1 + t];
        const std::span<const double> weights{w.data(), done};
        const double dj = m[j * n + j] - Scalar::dot_slice({u + j * n + j + 1, done}, weights);
        if (std::fabs(dj) <= tol)
            return kavrel::domain::error::storage_error("UDU encountered a zero pivot (needs symmetric pivoting)");
        f.d[j] = dj;
        u[j * n + j] = 1.0;
        for (std::size_t i = j; i-- > 0;)
            u[i * n + j] = (m[i * n + j] - Scalar::dot_slice({u + i * n + j + 1, done}, weights)) / dj;
    }
    return f;
}

}  // namespace kavrel_ops::application::linalg::udu::decompose
