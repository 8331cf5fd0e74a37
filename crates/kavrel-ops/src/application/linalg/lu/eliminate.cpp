#include "kavrel_ops/application/linalg/lu/eliminate.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <utility>

#include "kavrel_ops/domain/scalar/contract.hpp"

namespace kavrel_ops::application::linalg::lu::eliminate {

namespace {

using Scalar = domain::scalar::contract::Scalar<double>;

struct Pivot {
    std::size_t row;
    double magnitude;
};

Pivot find_pivot(const double* w, std::size_t n, std::size_t k) {
    Pivot best{k, std::fabs(w[k * n + k])};
    for (std::size_t i = k + 1; i < n; ++i) {
        const double m = std::fabs(w[i * n + k]);
        if (m > best.magnitude) best = {i, m};
    }
    return best;
}

}  // namespace

Result<void> lu_eliminate_step(std::span<double> w, std::uint64_t n, std::uint64_t k, std::uint64_t end,
                               std::span<std::uint64_t> perm, std::int8_t& sign) {
    if (k >= end || end > n || perm.size() != n || w.size() / n != n || w.size() % n != 0)
        kavrel::domain::error::fail_invariant("invariant: LU column step within an n × n working matrix");
    double* a = w.data();
    const Pivot pivot = find_pivot(a, n, k);
    const std::size_t p = pivot.row;
    // Only an exact zero is singular; a NaN maximum (an overflow in earlier updates) passes.
    if (pivot.magnitude == 0.0)
        return kavrel::domain::error::storage_error("LU pivot column " + std::to_string(k) +
                                                    " is exactly zero: matrix is singular");
    if (p != k) {
        std::swap_ranges(a + k * n, a + k * n + n, a + p * n);
        std::swap(perm[k], perm[p]);
        sign = static_cast<std::int8_t>(-sign);
    }
    const double d = a[k * n + k];
    const std::span<const double> pivot_row_tail(a + k * n + k + 1, end - k - 1);
    for (std::size_t i = k + 1; i < n; ++i) {
        double* row = a + i * n;
        const double l = row[k] / d;
        row[k] = l;
        Scalar::axpy_slice(pivot_row_tail, {row + k + 1, end - k - 1}, 0.0 - l);
    }
    return {};
}

}  // namespace kavrel_ops::application::linalg::lu::eliminate
