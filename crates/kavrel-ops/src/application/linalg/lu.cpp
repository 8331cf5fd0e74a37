#include "kavrel_ops/application/linalg/lu.hpp"

#include <cstddef>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"

namespace kavrel_ops::application::linalg::lu {

using Scalar = domain::scalar::contract::Scalar<double>;

void LuDecomposition::solve_in_place(std::span<double> b) const { solve_columns_in_place(b, 1); }

void LuDecomposition::solve_columns_in_place(std::span<double> b, std::size_t count) const {
    const std::size_t n = perm.size();
    if (count == 0 || b.size() % count != 0 || b.size() / count != n)
        kavrel::domain::error::fail_invariant("invariant: LU right-hand side has the factor's order");
    if (n == 0) return;
    const double* f = lu.data();
    // L·y = b with L's unit diagonal: b[0] stays.
    for (std::size_t i = 1; i < n; ++i) {
        for (std::size_t c = 0; c < count; ++c) {
            const std::span<double> x = b.subspan(c * n, n);
            const double s = Scalar::dot_slice({f + i * n, i}, x.first(i));
            x[i] = x[i] - s;
        }
    }
    // U·x = y from the last row up.
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t c = 0; c < count; ++c) {
            const std::span<double> x = b.subspan(c * n, n);
            const double s = Scalar::dot_slice({f + i * n + i + 1, n - i - 1}, x.subspan(i + 1));
            x[i] = (x[i] - s) / f[i * n + i];
        }
    }
}

}  // namespace kavrel_ops::application::linalg::lu
