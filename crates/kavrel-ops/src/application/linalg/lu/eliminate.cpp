#include "kavrel_ops/application/linalg/lu/eliminate.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "kavrel_ops/domain/scalar/contract.hpp"
#include "kavrel_ops/domain/tuning.hpp"

namespace kavrel_ops::application::linalg::lu::eliminate {

namespace {

using Scalar = domain::scalar::contract::Scalar<double>;

// The zero-pivot error's text around its column number.
constexpr const char* zero_pivot_prefix = "LU pivot column ";
constexpr const char* zero_pivot_suffix = " is exactly zero: matrix is singular";

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

void require_step_within(std::span<double> w, std::uint64_t n, std::uint64_t k, std::uint64_t end) {
    if (k >= end || end > n || w.size() / n != n || w.size() % n != 0)
        kavrel::domain::error::fail_invariant("invariant: LU column step within an n × n working matrix");
}

}  // namespace

void eliminate_below_pivot(std::span<double> w, std::uint64_t n, std::uint64_t k, std::uint64_t end) {
    require_step_within(w, n, k, end);
    double* a = w.data();
    const double d = a[k * n + k];
    const std::span<const double> pivot_tail(a + k * n + k + 1, end - k - 1);
    constexpr std::size_t block = domain::tuning::lu_rows_per_update;
    double coeffs[block];
    for (std::size_t first = k + 1; first < n; first += block) {
        const std::size_t rows = std::min<std::size_t>(block, n - first);
        for (std::size_t r = 0; r < rows; ++r) {
            double& entry = a[(first + r) * n + k];
            const double l = entry / d;
            entry = l;
            coeffs[r] = 0.0 - l;
        }
        // Row r of the block starts at column k + 1 of row first + r; the gaps between rows
        // (columns end .. n − 1 and 0 .. k) are not touched.
        double* out = a + first * n + k + 1;
        const std::size_t extent = (rows - 1) * n + (end - k - 1);
        Scalar::axpy_rows({coeffs, rows}, pivot_tail, {out, extent}, n, rows, end - k - 1);
    }
}

Result<void> lu_eliminate_step(std::span<double> w, std::uint64_t n, std::uint64_t k, std::uint64_t end,
                               std::span<std::uint64_t> perm, std::int8_t& sign) {
    require_step_within(w, n, k, end);
    if (perm.size() != n) kavrel::domain::error::fail_invariant("invariant: LU permutation of the matrix order");
    double* a = w.data();
    const Pivot pivot = find_pivot(a, n, k);
    const std::size_t p = pivot.row;
    // Only an exact zero is singular; a NaN maximum (an overflow in earlier updates) passes.
    if (pivot.magnitude == 0.0)
        return kavrel::domain::error::storage_error(zero_pivot_prefix + std::to_string(k) + zero_pivot_suffix);
    if (p != k) {
        std::swap_ranges(a + k * n, a + k * n + n, a + p * n);
        std::swap(perm[k], perm[p]);
        sign = static_cast<std::int8_t>(-sign);
    }
    eliminate_below_pivot(w, n, k, end);
    return {};
}

bool is_zero_pivot(const kavrel::domain::error::KavrelError& e) noexcept {
    const auto* storage = std::get_if<kavrel::domain::error::StorageError>(&e);
    if (!storage) return false;
    const std::string_view text = storage->text, prefix = zero_pivot_prefix, suffix = zero_pivot_suffix;
    if (!text.starts_with(prefix) || !text.ends_with(suffix) || text.size() == prefix.size() + suffix.size())
        return false;
    const std::string_view column = text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
    return std::all_of(column.begin(), column.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace kavrel_ops::application::linalg::lu::eliminate
