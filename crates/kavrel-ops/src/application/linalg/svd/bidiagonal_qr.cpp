#include "kavrel_ops/application/linalg/svd/bidiagonal_qr.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <type_traits>
#include <utility>

#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel_ops/application/linalg/bidiagonal.hpp"
#include "kavrel_ops/application/linalg/bidiagonal/reduce.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"
#include "kavrel_ops/application/linalg/svd/bidiagonal_qr/chase.hpp"
#include "kavrel_ops/application/linalg/svd/bidiagonal_qr/deflation.hpp"
#include "kavrel_ops/application/linalg/svd/bidiagonal_qr/rotation.hpp"
#include "kavrel_ops/application/linalg/svd/triangular_pair.hpp"
#include "kavrel_ops/application/linalg/working.hpp"

namespace kavrel_ops::application::linalg::svd::bidiagonal_qr {

namespace err = kavrel::domain::error;

namespace checked = kavrel::domain::checked;
namespace ex = scaling::exponent;
using chase::Direction;
using chase::Down;
using chase::OrientedBlock;
using chase::Up;
using deflation::Deflation;
using err::fail_invariant;
using rotation::RotationWindow;
using sweep::ShiftWindow;

namespace {

constexpr std::uint64_t minimum_step_limit = 4000;
constexpr std::uint64_t steps_per_order = 30;

enum class Heading { none, up, down };

template <Direction D>
constexpr Heading heading_of() {
    return std::is_same_v<D, Up> ? Heading::up : Heading::down;
}

// The state of one run: the block last worked on and the two step counters.
struct RunState {
    Heading heading = Heading::none;
    std::uint64_t oldll = 0;
    std::uint64_t oldm = 0;
    std::uint64_t chases = 0;
    std::uint64_t sweeps = 0;
};

struct Windows {
    RotationWindow rotation;
    ShiftWindow shift;
};

enum class BlockStep { split, chased, swept, limit_reached };

// One step on the block ll … m (three rows or more) in direction D: a split of a negligible
// superdiagonal entry, a zero-diagonal chase or one sweep, unless the step limit is reached.
template <Direction D>
BlockStep step_on_block(OrientedBlock& block, const Deflation& deflation, const Windows& windows,
                        const RotationTargets& rows, RunState& state, std::uint64_t limit) {
    auto& d = block.d;
    auto& e = block.e;
    const std::uint64_t ll = block.lo, m = block.hi;
    if (const auto split = deflation.split<D>(block); split.found) {
        e[split.index] = 0.0;
        return BlockStep::split;
    }
    if (state.chases + state.sweeps >= limit) return BlockStep::limit_reached;
    state.heading = heading_of<D>();
    state.oldll = ll;
    state.oldm = m;
    for (std::uint64_t idx = ll; idx < m; ++idx) {
        const double t = (idx == ll ? 0.0 : std::fabs(e[idx - 1])) + std::fabs(e[idx]);
        if (std::fabs(d[idx]) + t == t) {
            sweep::chase_zero_at_top(block, idx, windows.rotation, rows);
            ++state.chases;
            return BlockStep::chased;
        }
    }
    if (const double t = std::fabs(e[m - 1]); std::fabs(d[m]) + t == t) {
        sweep::chase_zero_at_bottom(block, windows.rotation, rows);
        ++state.chases;
        return BlockStep::chased;
    }
    std::optional<sweep::ShiftStart> start;
    if (!deflation.shift_ruins_accuracy<D>(block)) start = sweep::shifted_start<D>(block, windows.shift);
    if (start) sweep::shifted_sweep<D>(block, *start, windows.rotation, rows);
    else sweep::zero_shift_sweep<D>(block, windows.rotation, rows);
    ++state.sweeps;
    return BlockStep::swept;
}

// The 2×2 block ending at m, diagonalised in one step.
void finish_pair(std::span<double> d, std::span<double> e, std::uint64_t m, const RotationTargets& rows) {
    const auto r = triangular_pair::triangular_svd(d[m - 1], e[m - 1], d[m]);
    d[m - 1] = r.sigma_max;
    e[m - 1] = 0.0;
    d[m] = r.sigma_min;
    sweep::rotate_factor(rows.right, m - 1, m, r.cos_right, r.sin_right);
    sweep::rotate_factor(rows.left, m - 1, m, r.cos_left, r.sin_left);
}

// A stable descending order of `values`; `nan_message` names the invariant a NaN breaks.
std::vector<std::uint64_t> descending_order(std::span<const double> values, const char* nan_message) {
    if (values.size() > 1)
        for (double v : values)
            if (std::isnan(v)) fail_invariant(nan_message);
    std::vector<std::uint64_t> p(values.size());
    std::iota(p.begin(), p.end(), std::uint64_t{0});
    std::stable_sort(p.begin(), p.end(), [&](std::uint64_t a, std::uint64_t b) { return values[a] > values[b]; });
    return p;
}

}  // namespace

std::uint64_t step_limit(std::uint64_t n) noexcept {
    return std::max(minimum_step_limit, checked::saturating_mul(n, steps_per_order));
}

Result<std::uint64_t> detail::run_with_limit(std::span<double> d, std::span<double> e, std::uint64_t n,
                                             const RotationTargets& rows, std::uint64_t limit) {
    if (n < 2) return 0;
    if (d.size() < n || e.size() < n - 1)
        fail_invariant("invariant: a bidiagonal of order n has n diagonal and n - 1 superdiagonal entries");
    d = d.first(n);
    e = e.first(n - 1);
    const Windows windows{rotation::rotation_window(), sweep::shift_window()};
    const Deflation deflation = Deflation::of(d, e, n);
    RunState state;
    std::uint64_t m = n - 1;
    for (;;) {
        while (e[m - 1] == 0.0)
            if (--m == 0) return state.chases + state.sweeps;
        std::uint64_t ll = 0;
        for (std::uint64_t l = m; l-- > 0;)
            if (std::fabs(e[l]) <= deflation.thresh) {
                e[l] = 0.0;
                ll = l + 1;
                break;
            }
        if (ll == m) continue;
        if (ll + 1 == m) {
            finish_pair(d, e, m, rows);
            continue;
        }
        Heading heading = state.heading;
        // A new block takes the direction towards its smaller end.
        if (heading == Heading::none || ll > state.oldm || m < state.oldll)
            heading = std::fabs(d[ll]) >= std::fabs(d[m]) ? Heading::down : Heading::up;
        OrientedBlock block = OrientedBlock::of(d, e, ll, m);
        const BlockStep step = heading == Heading::down
                                   ? step_on_block<Down>(block, deflation, windows, rows, state, limit)
                                   : step_on_block<Up>(block, deflation, windows, rows, state, limit);
        if (step == BlockStep::limit_reached) return err::storage_error(not_converged);
    }
}

Result<void> run_bidiagonal_qr(std::span<double> d, std::span<double> e, std::uint64_t n,
                               const RotationTargets& rows) {
    auto steps = detail::run_with_limit(d, e, n, rows, step_limit(n));
    if (!steps) return std::unexpected(std::move(steps.error()));
    return {};
}

scaling::gate::BoundTerms svd_bound(std::uint64_t m, std::uint64_t n, std::int32_t r) {
    const std::int32_t l = ex::ceil_log2(std::max<std::uint64_t>({m, n, 1}));
    return {std::max<std::uint64_t>(std::min(m, n), 1), -2 - r - ((l + 1) / 2)};
}

std::vector<double> transpose_square(std::span<const double> src, std::uint64_t n) {
    constexpr const char* short_source = "invariant: a square transpose reads n*n entries";
    const std::uint64_t count = checked::expect(checked::mul(n, n), short_source);
    if (src.size() < count) fail_invariant(short_source);
    std::vector<double> out(count, 0.0);
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = 0; j < n; ++j) out[j * n + i] = src[i * n + j];
    return out;
}

Result<Array<double, 2>> transpose_to_owned(const ArrayView<double, 2>& a) {
    return Array<double, 2>::from_vec({a.cols(), a.rows()}, working::column_major_copy(a));
}

Result<SvdResult> svd_tall(const ArrayView<double, 2>& a) {
    const std::uint64_t m = a.rows(), n = a.cols();
    auto reduced = bidiagonal::bidiagonalize_keeping_left(a);
    if (!reduced) return std::unexpected(std::move(reduced.error()));
    std::vector<double> ut = bidiagonal::reduce::leading_columns_transposed(reduced->left, n);
    std::vector<double> vt = transpose_square(reduced->v.storage.data, n);
    std::vector<double> d(n, 0.0), e(n, 0.0);
    const std::vector<double>& b = reduced->b;
    for (std::uint64_t i = 0; i < n; ++i) {
        d[i] = b[i * (n + 1)];
        if (i + 1 < n) e[i] = b[i * (n + 1) + 1];
    }
    const RotationTargets rows{FactorRows{ut, m}, FactorRows{vt, n}};
    if (auto run = run_bidiagonal_qr(d, e, n, rows); !run) return std::unexpected(std::move(run.error()));
    // A negative value moves its sign into the matching column of U; V is never negated.
    for (std::uint64_t i = 0; i < n; ++i)
        if (d[i] < 0.0) {
            d[i] = -d[i];
            for (std::uint64_t r = 0; r < m; ++r) ut[i * m + r] = -ut[i * m + r];
        }
    const std::vector<std::uint64_t> p = descending_order(d, "singular values are finite");
    std::vector<double> s(n), u(m * n, 0.0), v(n * n, 0.0);
    for (std::uint64_t j = 0; j < n; ++j) {
        s[j] = d[p[j]];
        for (std::uint64_t r = 0; r < m; ++r) u[r * n + j] = ut[p[j] * m + r];
        for (std::uint64_t c = 0; c < n; ++c) v[c * n + j] = vt[p[j] * n + c];
    }
    return SvdResult{std::move(s), err::expect(Array<double, 2>::from_vec({m, n}, std::move(u)), "U shape matches storage"),
                     err::expect(Array<double, 2>::from_vec({n, n}, std::move(v)), "V shape matches storage")};
}

Result<SvdResult> svd_of_balanced(const ArrayView<double, 2>& a) {
    if (a.rows() >= a.cols()) return svd_tall(a);
    auto t = transpose_to_owned(a);
    if (!t) return std::unexpected(std::move(t.error()));
    auto r = svd_tall(ArrayView<double, 2>::of(*t));
    if (!r) return std::unexpected(std::move(r.error()));
    // aᵀ = U′·diag(S)·V′ᵀ gives a = V′·diag(S)·U′ᵀ.
    return SvdResult{std::move(r->s), std::move(r->v), std::move(r->u)};
}

Result<std::vector<double>> singular_values_of_balanced(const ArrayView<double, 2>& a) {
    const std::uint64_t m = a.rows(), n = a.cols();
    Result<bidiagonal::DiagonalPair> pair = [&]() -> Result<bidiagonal::DiagonalPair> {
        if (m >= n) return bidiagonal::bidiagonal_diag_colmajor(a);
        auto t = transpose_to_owned(a);
        if (!t) return std::unexpected(std::move(t.error()));
        return bidiagonal::bidiagonal_diag_colmajor(ArrayView<double, 2>::of(*t));
    }();
    if (!pair) return std::unexpected(std::move(pair.error()));
    const std::uint64_t k = std::min(m, n);
    if (k >= 2)
        if (auto run = run_bidiagonal_qr(pair->d, pair->e, k, {}); !run) return std::unexpected(std::move(run.error()));
    std::vector<double> values = std::move(pair->d);
    for (double& v : values) v = std::fabs(v);
    const std::vector<std::uint64_t> p = descending_order(values, "singular values are finite (not NaN)");
    std::vector<double> sorted(values.size());
    for (std::size_t j = 0; j < p.size(); ++j) sorted[j] = values[p[j]];
    return sorted;
}

}  // namespace kavrel_ops::application::linalg::svd::bidiagonal_qr
