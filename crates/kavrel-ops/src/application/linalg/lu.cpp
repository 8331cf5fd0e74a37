#include "kavrel_ops/application/linalg/lu.hpp"

#include <cstddef>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"
#include "kavrel_ops/domain/scalar/slice_kernels.hpp"

namespace kavrel_ops::application::linalg::lu {

namespace {

// L·U·x = b on the stored factors for `count` right-hand sides of n entries each.
void substitute(const LuDecomposition& d, std::span<double> b, std::size_t count) {
    const std::size_t n = d.perm.size();
    const double* f = d.lu.data();
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

}  // namespace

void LuDecomposition::solve_in_place(std::span<double> b) const { solve_columns_in_place(b, 1); }

void LuDecomposition::solve_columns_in_place(std::span<double> b, std::size_t count) const {
    const std::size_t n = perm.size();
    if (count == 0 || b.size() % count != 0 || b.size() / count != n)
        kavrel::domain::error::fail_invariant("invariant: LU right-hand side has the factor's order");
    if (n == 0) return;
    if (exponent == 0) {
        substitute(*this, b, count);
        return;
    }
    // Each right-hand side at the factors' scale where that loses nothing (its solution is then
    // formed at its own scale); the others are solved as they are and their solutions, those of
    // the scaled system, brought back.
    namespace ex = scaling::exponent;
    std::vector<bool> after(count);
    for (std::size_t c = 0; c < count; ++c) {
        const std::span<double> x = b.subspan(c * n, n);
        after[c] = !ex::scales_exactly(x, -exponent);
        if (!after[c]) ex::scale_by_power_of_two(x, -exponent);
    }
    substitute(*this, b, count);
    for (std::size_t c = 0; c < count; ++c)
        if (after[c]) ex::scale_by_power_of_two(b.subspan(c * n, n), -exponent);
}

}  // namespace kavrel_ops::application::linalg::lu
