#include "kavrel_ops/application/linalg/lu/decompose.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>
#include <ranges>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/layout/layout.hpp"
#include "kavrel_ops/application/linalg/lu/eliminate.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"
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

// The axis whose lines a scaled attempt multiplies by powers of two.
enum class Axis : std::uint8_t { columns, rows };

// Per column (or row) j of the n×n row-major w, the largest k that keeps every entry of the line
// exact when scaled by 2^-k.
std::vector<std::int32_t> line_scale_limits(std::span<const double> w, std::uint64_t n, Axis axis) {
    std::vector<std::int32_t> limits(n, scaling::exponent::no_scale_limit);
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = 0; j < n; ++j) {
            std::int32_t& limit = limits[axis == Axis::columns ? j : i];
            limit = std::min(limit, scaling::exponent::exact_scale_limit(w[i * n + j]));
        }
    return limits;
}

// Scales that leave every line as it is are no scales.
std::vector<std::int32_t> nonzero_or_empty(std::vector<std::int32_t> c) {
    if (std::ranges::all_of(c, [](std::int32_t e) { return e == 0; })) c.clear();
    return c;
}

// min(k, limit) per line.
std::vector<std::int32_t> capped_scales(std::span<const std::int32_t> limits, std::int32_t k) {
    std::vector<std::int32_t> c(limits.size());
    for (std::size_t j = 0; j < c.size(); ++j) c[j] = std::min(k, limits[j]);
    return nonzero_or_empty(std::move(c));
}

// Line j of the n×n row-major w times 2^-c[j]; nothing for an empty c.
void scale_lines(std::span<double> w, std::uint64_t n, std::span<const std::int32_t> c, Axis axis) {
    if (c.empty()) return;
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = 0; j < n; ++j)
            w[i * n + j] = scaling::exponent::scalbn(w[i * n + j], -c[axis == Axis::columns ? j : i]);
}

// The largest magnitude each column of the n×n row-major w holds at any point of its unblocked
// elimination (which stops at a zero pivot column, never met where the factorisation succeeded).
std::vector<double> column_peaks(std::vector<double> w, std::uint64_t n) {
    std::vector<double> peak(n, 0.0);
    const auto scan = [&](std::uint64_t first) {
        for (std::uint64_t i = first; i < n; ++i)
            for (std::uint64_t j = first; j < n; ++j) peak[j] = std::max(peak[j], std::fabs(w[i * n + j]));
    };
    scan(0);
    std::vector<std::uint64_t> perm(n);
    std::int8_t sign = 1;
    for (std::uint64_t k = 0; k < n; ++k) {
        if (!lu_eliminate_step(w, n, k, n, perm, sign)) break;
        scan(k + 1);
    }
    return peak;
}

// Per column of a, the least scale below c[j] at which the column's peak in the elimination of a
// with its columns at 2^-c stays finite: the column's values scale exactly with it, since the
// multipliers do not. One more elimination, on the path of an overflow only.
std::vector<std::int32_t> least_column_scales(const ArrayView<double, 2>& a, std::span<const std::int32_t> c) {
    std::vector<double> w = working::working_copy(a);
    scale_lines(w, a.rows(), c, Axis::columns);
    const std::vector<double> peak = column_peaks(std::move(w), a.rows());
    std::vector<std::int32_t> least(c.size(), 0);
    for (std::size_t j = 0; j < c.size(); ++j) {
        if (peak[j] == 0.0) continue;
        // peak·2^room lies in [2^1023, 2^1024).
        const int room = 1023 - scaling::exponent::ilogb(peak[j]);
        least[j] = std::max(0, c[j] - room);
    }
    return nonzero_or_empty(std::move(least));
}

bool is_out_of_range(const kavrel::domain::error::KavrelError& e) {
    const auto* o = std::get_if<kavrel::domain::error::Overflow>(&e);
    return o != nullptr && o->reason == std::string_view(factor_out_of_range);
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

    // A factorisation of A with its lines scaled by 2^-scales. An infinite or NaN value formed
    // from finite entries is an overflow of the updates (it may even end in an exactly zero pivot
    // column): out of range.
    using Attempt = scaling::gate::Attempt<LuDecomposition>;
    const auto factor = [&](std::vector<std::int32_t> scales, Axis axis) -> Attempt {
        Working f{working::attempt_entries(*input, a, 0), n, std::vector<std::uint64_t>(n), 1};
        scale_lines(f.w, n, scales, axis);
        std::iota(f.perm.begin(), f.perm.end(), std::uint64_t{0});
        auto done = variant == LuVariant::unblocked ? factor_unblocked(f) : factor_blocked(f, product);
        if (!working::all_finite(f.w)) return {kavrel::domain::error::overflow(factor_out_of_range), false};
        if (!done) return {std::unexpected(std::move(done.error())), true};
        auto lu = kavrel::domain::error::expect(Array<double, 2>::from_vec({n, n}, std::move(f.w)),
                                                "square factor storage");
        LuDecomposition d{std::move(lu), std::move(f.perm), f.sign, {}, {}};
        (axis == Axis::columns ? d.column_exponent : d.row_exponent) = std::move(scales);
        return {std::move(d), true};
    };

    // Attempt k scales every column by 2^-k but none further than keeps its entries exact, so
    // each attempt factors A's own columns (a rounded entry would be another matrix, its pivots
    // and determinant not A's), and partial pivoting, which compares within a column, takes A's
    // own pivots. Where a column that must be scaled cannot be so exactly, rows are scaled
    // instead, each as far as it can.
    Axis axis = Axis::columns;
    std::vector<std::int32_t> limits;
    bool capped = false;
    const auto attempt = [&](std::int32_t k) {
        std::vector<std::int32_t> scales;
        if (k != 0) {
            if (limits.empty()) {
                std::vector<double> copy;
                limits = line_scale_limits(working::row_major_elements(a, copy), n, axis);
            }
            scales = capped_scales(limits, k);
            capped = capped || std::ranges::any_of(limits, [&](std::int32_t limit) { return limit < k; });
        }
        return factor(std::move(scales), axis);
    };
    auto by_columns = scaling::gate::factor_in_range<LuDecomposition>(input->amax, n, attempt);
    if (by_columns) {
        if (by_columns->column_exponent.empty()) return by_columns;
        // The columns that never came near the top of the range go back to the least scale that
        // keeps them finite, so that solutions are formed as close to their own scale as can be.
        std::vector<std::int32_t> least = least_column_scales(a, by_columns->column_exponent);
        if (least == by_columns->column_exponent) return by_columns;
        if (Attempt refined = factor(std::move(least), Axis::columns); refined.in_range && refined.outcome)
            return std::move(refined.outcome);
        return by_columns;
    }
    if (!capped || !is_out_of_range(by_columns.error())) return by_columns;
    axis = Axis::rows;
    limits.clear();
    return scaling::gate::least_in_range<LuDecomposition>(scaling::gate::range_steps(input->amax, n), attempt,
                                                          Attempt{std::move(by_columns), false});
}

}  // namespace detail

Result<LuDecomposition> lu_decompose(const ArrayView<double, 2>& a) {
    const std::uint64_t n = a.rows();
    const std::uint64_t l3_bytes = infrastructure::cache::cached_cache_geometry::GEOMETRY.get().l3_bytes;
    return detail::lu_decompose_as(a, detail::choose_variant(n, l3_bytes), engine_trailing_product);
}

}  // namespace kavrel_ops::application::linalg::lu::decompose
