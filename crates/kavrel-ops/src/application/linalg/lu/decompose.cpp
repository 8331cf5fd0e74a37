#include "kavrel_ops/application/linalg/lu/decompose.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/layout/layout.hpp"
#include "kavrel_ops/application/linalg/lu/eliminate.hpp"
#include "kavrel_ops/application/linalg/scaling/gate.hpp"
#include "kavrel_ops/application/linalg/working.hpp"
#include "kavrel_ops/application/matrix/api.hpp"
#include "kavrel_ops/domain/tuning.hpp"
#include "kavrel_ops/infrastructure/cache.hpp"

namespace kavrel_ops::application::linalg::lu::decompose {

namespace checked = kavrel::domain::checked;

namespace {

using kavrel::domain::layout::Layout;
using detail::LuVariant;
using detail::TrailingProduct;
using eliminate::lu_eliminate_step;

constexpr std::uint64_t max_counted_elements = (std::uint64_t{1} << 61) - 1;  // n·n·8 still fits
constexpr std::uint64_t saturated_bytes = std::numeric_limits<std::uint64_t>::max();

// The matrix being factored, in place: W(i, j) is w[i·n + j].
struct Working {
    std::vector<double> w;
    std::uint64_t n;
    std::vector<std::uint64_t> perm;
    std::int8_t sign;
};

Result<void> factor_unblocked(Working& f) {
    for (std::uint64_t k = 0; k < f.n; ++k)
        if (auto r = lu_eliminate_step(f.w, f.n, k, f.n, f.perm, f.sign); !r) return r;
    return {};
}

// U12 = L11⁻¹·A12 for the panel rows c .. e−1, by columns, each inner product summed in plain
// rounded steps.
void forward_substitute_u12(Working& f, std::uint64_t c, std::uint64_t e) {
    const std::uint64_t n = f.n;
    double* w = f.w.data();
    for (std::uint64_t j = e; j < n; ++j) {
        for (std::uint64_t r = c; r < e; ++r) {
            double s = 0.0;
            for (std::uint64_t t = c; t < r; ++t) s = s + w[r * n + t] * w[t * n + j];
            w[r * n + j] = w[r * n + j] - s;
        }
    }
}

// m·w elements of a panel buffer view, with the checks of a row-major layout's construction.
Result<std::uint64_t> panel_elements(std::uint64_t m, std::uint64_t w) {
    if (!checked::mul(static_cast<std::int64_t>(m), static_cast<std::int64_t>(w)))
        return kavrel::domain::error::overflow("C-contiguous stride multiplication");
    const auto count = checked::mul(m, w);
    if (!count) return kavrel::domain::error::overflow("layout shape product");
    if (m >= (std::uint64_t{1} << 32)) return kavrel::domain::error::overflow("layout shape product");
    return *count;
}

// Negated multipliers below the panel into P (m × w) and the panel's U12 rows into Q (w × m),
// then A22 += P·Q through `product`.
Result<void> update_trailing(Working& f, std::uint64_t c, std::uint64_t e, std::vector<double>& p_buf,
                             std::vector<double>& q_buf, TrailingProduct product) {
    const std::uint64_t n = f.n, w = e - c, m = n - e;
    const double* a = f.w.data();
    for (std::uint64_t i = e; i < n; ++i)
        for (std::uint64_t t = 0; t < w; ++t) p_buf[(i - e) * w + t] = 0.0 - a[i * n + c + t];
    for (std::uint64_t t = 0; t < w; ++t) std::copy_n(a + (c + t) * n + e, m, q_buf.data() + t * m);

    auto count = panel_elements(m, w);
    if (!count) return std::unexpected(count.error());
    const auto sm = static_cast<std::int64_t>(m), sw = static_cast<std::int64_t>(w);
    auto p = ArrayView<double, 2>::from_parts(p_buf.data(), *count, Layout<2>{{m, w}, {sw, 1}, 0});
    if (!p) return std::unexpected(p.error());
    auto q = ArrayView<double, 2>::from_parts(q_buf.data(), *count, Layout<2>{{w, m}, {sm, 1}, 0});
    if (!q) return std::unexpected(q.error());
    auto a22 = ArrayViewMut<double, 2>::from_parts(f.w.data(), f.w.size(),
                                                   Layout<2>{{m, m}, {static_cast<std::int64_t>(n), 1}, e * (n + 1)});
    if (!a22) return std::unexpected(a22.error());
    return product(*p, *q, *a22);
}

Result<void> factor_blocked(Working& f, TrailingProduct product) {
    const std::uint64_t n = f.n;
    // Allocated once and reused by every panel.
    using kavrel_ops::domain::tuning::lu_panel_columns;
    std::vector<double> p_buf(n * lu_panel_columns), q_buf(n * lu_panel_columns);
    for (std::uint64_t c = 0; c < n;) {
        const std::uint64_t e = c + std::min(lu_panel_columns, n - c);
        for (std::uint64_t k = c; k < e; ++k)
            if (auto r = lu_eliminate_step(f.w, n, k, e, f.perm, f.sign); !r) return r;
        if (e == n) break;  // the last panel has no U12 and no trailing block
        forward_substitute_u12(f, c, e);
        if (auto r = update_trailing(f, c, e, p_buf, q_buf, product); !r) return r;
        c = e;
    }
    return {};
}

// A22 += P·Q through the matrix-product engine. A22 is a window of the working matrix (row
// stride n, wider than its width), so the engine takes its temporary-and-write-back path.
Result<void> engine_trailing_product(const ArrayView<double, 2>& p, const ArrayView<double, 2>& q,
                                     ArrayViewMut<double, 2>& a22) {
    return matrix::api::matmul_with_tile_policy<double>(p, q, a22, matrix::types::Accumulate::add);
}

}  // namespace

namespace detail {

LuVariant choose_variant(std::uint64_t n, std::uint64_t l3_bytes) noexcept {
    const std::uint64_t elements = checked::saturating_mul(n, n);
    const std::uint64_t bytes = elements > max_counted_elements ? saturated_bytes : elements * 8;
    return bytes <= l3_bytes ? LuVariant::unblocked : LuVariant::blocked;
}

Result<LuDecomposition> lu_decompose_as(const ArrayView<double, 2>& a, LuVariant variant, TrailingProduct product) {
    auto input = working::finite_square_copy(a, "LU input contains a non-finite value");
    if (!input) return std::unexpected(std::move(input.error()));
    const std::uint64_t n = input->n;

    // An infinite or NaN value formed from finite entries is an overflow of the updates (it may
    // even end in an exactly zero pivot column): another scale is tried.
    return scaling::gate::factor_in_range<LuDecomposition>(
        input->amax, n, [&](std::int32_t k, bool last) -> std::optional<Result<LuDecomposition>> {
            Working f{working::attempt_entries(*input, a, k), n, std::vector<std::uint64_t>(n), 1};
            std::iota(f.perm.begin(), f.perm.end(), std::uint64_t{0});
            auto done = variant == LuVariant::unblocked ? factor_unblocked(f) : factor_blocked(f, product);
            if (!working::all_finite(f.w)) {
                if (!last) return std::nullopt;
                return kavrel::domain::error::overflow(factor_out_of_range);
            }
            if (!done) return std::unexpected(std::move(done.error()));
            auto lu = kavrel::domain::error::expect(Array<double, 2>::from_vec({n, n}, std::move(f.w)),
                                                    "square factor storage");
            return LuDecomposition{std::move(lu), std::move(f.perm), f.sign, k};
        });
}

}  // namespace detail

Result<LuDecomposition> lu_decompose(const ArrayView<double, 2>& a) {
    const std::uint64_t n = a.rows();
    const std::uint64_t l3_bytes = infrastructure::cache::cached_cache_geometry::GEOMETRY.get().l3_bytes;
    return detail::lu_decompose_as(a, detail::choose_variant(n, l3_bytes), engine_trailing_product);
}

}  // namespace kavrel_ops::application::linalg::lu::decompose
