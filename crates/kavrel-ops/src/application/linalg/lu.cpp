#include "kavrel_ops/application/linalg/lu.hpp"

#include <cstddef>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/domain/scalar/slice_kernels.hpp"

namespace kavrel_ops::application::linalg::lu {

void LuDecomposition::solve_in_place(std::span<double> b) const { solve_columns_in_place(b, 1); }

void LuDecomposition::solve_columns_in_place(std::span<double> b, std::size_t count) const {
    const std::size_t n = perm.size();
    if (count == 0 || b.size() % count != 0 || b.size() / count != n)
        kavrel::domain::error::fail_invariant("invariant: LU right-hand side has the factor's order");
    if (n == 0) return;
    const double* f = lu.data();
    // dot_slice's kernel, taken once: every inner product below is of two runs of equal length.
    const auto& k = domain::scalar::slice_kernels::current<double>();
    // L·y = b with L's unit diagonal: b[0] stays.
    for (std::size_t i = 1; i < n; ++i) {
        for (std::size_t c = 0; c < count; ++c) {
            double* x = b.data() + c * n;
            x[i] = x[i] - k.dot(f + i * n, x, i);
        }
    }
    // U·x = y from the last row up.
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t c = 0; c < count; ++c) {
            double* x = b.data() + c * n;
            x[i] = (x[i] - k.dot(f + i * n + i + 1, x + i + 1, n - i - 1)) / f[i * n + i];
        }
    }
}

}  // namespace kavrel_ops::application::linalg::lu
