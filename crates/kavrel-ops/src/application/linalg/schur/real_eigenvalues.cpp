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

Result<std::vector<Complex>> eigenvalues(const ArrayView<double, 2>& a) {
    const auto rows = hessenberg::validate_square(a.rows(), a.cols());
    if (!rows) return std::unexpected(std::move(rows.error()));
    if (*rows == 0) return std::vector<Complex>{};
    const auto outcome = scaling::gate::balanced(a, francis_bound);
    if (!outcome) return std::unexpected(std::move(outcome.error()));
    const ArrayView<double, 2> m = scaling::gate::operand(*outcome, a);
    const std::uint64_t n = *hessenberg::validate_square(m.rows(), m.cols());
    std::vector<double> t = working::working_copy(m);
    if (auto finite = hessenberg::reduce::check_finite(t); !finite) return std::unexpected(std::move(finite.error()));
    hessenberg::reduce::reduce(t, n, {});
    if (auto run = francis::iterate(t, n, {}, francis::Scope::active_window); !run)
        return std::unexpected(std::move(run.error()));
    std::vector<Complex> values = real_eigenvalues(t, n);
    if (const std::int32_t k = scaling::gate::exponent_of(*outcome); k != 0) {
        for (Complex& v : values) {
            double parts[2] = {v.re, v.im};
            if (auto restored = scaling::gate::restore(parts, k); !restored)
                return std::unexpected(std::move(restored.error()));
            v = {parts[0], parts[1]};
        }
    }
    return values;
}

}  // namespace kavrel_ops::application::linalg::schur::real_eigenvalues
