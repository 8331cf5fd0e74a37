#include "kavrel_ops/application/linalg/schur/real_eigenvalues.hpp"

#include <cmath>
#include <utility>

#include "kavrel_ops/application/linalg/hessenberg.hpp"
#include "kavrel_ops/application/linalg/hessenberg/reduce.hpp"
#include "kavrel_ops/application/linalg/scaling/gate.hpp"
#include "kavrel_ops/application/linalg/schur.hpp"
#include "kavrel_ops/application/linalg/schur/francis.hpp"
#include "kavrel_ops/application/linalg/schur/standard_block.hpp"
#include "kavrel_ops/application/linalg/working.hpp"

namespace kavrel_ops::application::linalg::schur::real_eigenvalues {

std::vector<Complex> real_eigenvalues(std::span<const double> t, std::uint64_t n) {
    std::vector<Complex> values;
    values.reserve(static_cast<std::size_t>(n));
    std::uint64_t i = 0;
    while (i < n) {
        if (i + 1 < n && t[(i + 1) * n + i] != 0.0) {
            const auto b = standard_block::standardize_block(t[i * n + i], t[i * n + i + 1], t[(i + 1) * n + i],
                                                             t[(i + 1) * n + i + 1]);
            if (b.c != 0.0) {
                const double s = std::sqrt(std::fabs(b.b)) * std::sqrt(std::fabs(b.c));
                values.push_back({b.a, s});
                values.push_back({b.d, -s});
            } else {
                values.push_back({b.a, 0.0});
                values.push_back({b.d, 0.0});
            }
            i += 2;
        } else {
            values.push_back({t[i * n + i], 0.0});
            i += 1;
        }
    }
    return values;
}

namespace {

// The Hessenberg reduction and the Francis iteration without Q of a non-empty square matrix inside
// the gate's window, the values read off its quasi-triangular form.
Result<std::vector<Complex>> eigenvalues_of_balanced(const ArrayView<double, 2>& m) {
    const std::uint64_t n = m.rows();
    std::vector<double> t = working::working_copy(m);
    if (auto finite = hessenberg::reduce::check_finite(t); !finite) return std::unexpected(std::move(finite.error()));
    hessenberg::reduce::reduce(t, n, {});
    if (auto run = francis::iterate(t, n, {}, francis::Scope::active_window); !run)
        return std::unexpected(std::move(run.error()));
    return real_eigenvalues(t, n);
}

// Both parts of every value scaled back by 2^k, value by value; nothing when nothing was scaled.
Result<void> restore_values(std::vector<Complex>& values, std::int32_t k) {
    if (k == 0) return {};
    for (Complex& v : values) {
        double parts[2] = {v.re, v.im};
        if (auto restored = scaling::gate::restore(parts, k); !restored) return restored;
        v = {parts[0], parts[1]};
    }
    return {};
}

}  // namespace

Result<std::vector<Complex>> eigenvalues(const ArrayView<double, 2>& a) {
    const auto rows = hessenberg::validate_square(a.rows(), a.cols());
    if (!rows) return std::unexpected(std::move(rows.error()));
    if (*rows == 0) return std::vector<Complex>{};
    return scaling::gate::solve_scaled(a, scaling::gate::balanced(a, francis_bound), eigenvalues_of_balanced,
                                       restore_values);
}

}  // namespace kavrel_ops::application::linalg::schur::real_eigenvalues
