#include "kavrel_ops/application/linalg/schur/francis.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "kavrel_ops/application/linalg/scaling/exponent.hpp"
#include "kavrel_ops/application/linalg/schur/francis/bulge.hpp"
#include "kavrel_ops/application/linalg/schur/francis/deflation.hpp"
#include "kavrel_ops/application/linalg/schur/francis/shift.hpp"

namespace kavrel_ops::application::linalg::schur::francis {

namespace {

namespace ex = scaling::exponent;

constexpr std::uint64_t sweeps_per_order = 30;
constexpr std::uint64_t smallest_budget_order = 10;
// From this sweep of a window on, the deflation test is the plain neighbourhood test.
constexpr std::uint64_t plain_test_after = 20;
constexpr std::size_t stack_scratch_entries = 128;

// The scratch row of the wide left applications: on the stack up to 128 columns.
class ScratchRow {
public:
    explicit ScratchRow(std::uint64_t n) {
        if (n > stack_scratch_entries) heap_.assign(static_cast<std::size_t>(n), 0.0);
    }
    std::span<double> span() { return heap_.empty() ? std::span<double>(stack_) : std::span<double>(heap_); }

private:
    std::array<double, stack_scratch_entries> stack_{};
    std::vector<double> heap_;
};

struct Sweep {
    std::span<double> t;
    std::uint64_t n;
    std::span<double> qt;  // Qᵀ row-major; empty: no Q
    Scope scope;
    bulge::BulgeWindow window;
    std::span<double> scratch;
};

// Where the sweep starts: the lowest m in lo+1 … hi−2 whose subdiagonal entry is small enough
// that a bulge started there decouples from the rows above it, else lo.
struct Start {
    std::uint64_t m;
    bool inside;
    std::array<double, 3> v;
};

Start start_row(std::span<const double> t, std::uint64_t n, std::uint64_t lo, std::uint64_t hi,
                const shift::Shifts& shifts) {
    const auto at = [&](std::uint64_t i, std::uint64_t j) { return t[i * n + j]; };
    std::array<double, 3> v = shift::first_column(t, n, hi - 2, shifts);
    for (std::uint64_t m = hi - 2; m > lo; --m) {
        const double lhs = std::fabs(at(m, m - 1)) * (std::fabs(v[2]) + std::fabs(v[1]));
        const double rhs =
            ex::eps * std::fabs(v[0]) * (std::fabs(at(m + 1, m + 1)) + (std::fabs(at(m, m)) + std::fabs(at(m - 1, m - 1))));
        if (lhs <= rhs) return {m, true, v};
        v = shift::first_column(t, n, m - 1, shifts);
    }
    return {lo, false, v};
}

// T[rows][k … k+nr−1] := T[rows][…]·(I − tau·u·uᵀ), or the same on Q.
void apply_right(std::span<double> a, std::uint64_t n, const bulge::BulgeReflector& r, std::uint64_t k,
                 std::uint64_t first_row, std::uint64_t last_row) {
    for (std::uint64_t j = first_row; j <= last_row; ++j) {
        double* row = a.data() + j * n + k;
        double s = 0.0 + r.u[0] * row[0] + r.u[1] * row[1];
        if (r.nr == 3) s = s + r.u[2] * row[2];
        s = s * r.tau;
        for (std::uint32_t i = 0; i < r.nr; ++i) row[i] = row[i] - r.u[i] * s;
    }
}

void transpose_square(std::span<const double> from, std::span<double> to, std::uint64_t n) {
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = 0; j < n; ++j) to[j * n + i] = from[i * n + j];
}

void sweep(const Sweep& w, std::uint64_t lo, std::uint64_t hi, Start start) {
    const std::uint64_t n = w.n;
    double* t = w.t.data();
    std::array<double, 3> v = start.v;
    for (std::uint64_t k = start.m; k < hi; ++k) {
        const std::uint32_t nr = k + 1 < hi ? 3 : 2;
        if (k > start.m) v = {t[k * n + k - 1], t[(k + 1) * n + k - 1], nr == 3 ? t[(k + 2) * n + k - 1] : 0.0};
        const auto r = bulge::stack_reflector(v, nr, w.window);
        if (!r) continue;
        if (k > start.m) {
            t[k * n + k - 1] = r->beta;
            t[(k + 1) * n + k - 1] = 0.0;
            if (nr == 3) t[(k + 2) * n + k - 1] = 0.0;
        } else if (start.inside) {
            t[k * n + k - 1] = (1.0 - r->tau) * t[k * n + k - 1];
        }
        const bool whole = w.scope == Scope::whole_matrix;
        bulge::apply_left(w.t, *r, k, n, k, whole ? n - 1 : hi, w.scratch);
        apply_right(w.t, n, *r, k, whole ? 0 : lo, std::min(k + nr, hi));
        if (whole && !w.qt.empty()) bulge::apply_right_transposed(w.qt, n, *r, k);
    }
}

}  // namespace

double smallest_relative_subdiagonal(std::span<const double> t, std::uint64_t n, std::uint64_t lo, std::uint64_t hi) {
    double smallest = std::numeric_limits<double>::infinity();
    for (std::uint64_t k = lo + 1; k <= hi; ++k) {
        const double ratio = std::fabs(t[k * n + k - 1]) / deflation::neighbourhood_scale(t, n, k);
        if (ratio < smallest) smallest = ratio;
    }
    return smallest;
}

std::uint64_t sweep_budget(std::uint64_t n) { return sweeps_per_order * std::max(n, smallest_budget_order); }

namespace {

Result<void> run_sweeps(const Sweep& w) {
    const std::span<double> t = w.t;
    const std::uint64_t n = w.n;
    const double floor = deflation::run_floor(t, n);
    const std::uint64_t budget = sweep_budget(n);
    std::uint64_t hi = n - 1, its = 1;
    bool plain = false;
    for (;;) {
        // Earlier deflations left exact zeros, so the search stops at the top of the bottom block.
        std::uint64_t lo = 0;
        bool found = false;
        for (std::uint64_t k = hi; k >= 1; --k) {
            if (deflation::negligible_subdiagonal(t, n, k, plain, floor)) {
                t[k * n + k - 1] = 0.0;
                lo = k;
                found = true;
                break;
            }
        }
        if (lo == hi || (lo + 1 == hi && found)) {
            // A 1×1 or 2×2 block splits off the bottom (found implies lo ≥ 1, so lo − 1 is a row).
            hi = lo - 1;
            if (hi == 0) return {};
            its = 1;
            plain = false;
            continue;
        }
        if (lo + 1 == hi) return {};  // nothing deflated and only the leading 2×2 block is left
        if (its > budget)
            return std::unexpected(kavrel::domain::error::KavrelError(
                kavrel::domain::error::ConvergenceError{budget, smallest_relative_subdiagonal(t, n, lo, hi), ex::eps}));
        const shift::Shifts shifts = shift::window_shifts(t, n, lo, hi, its);
        sweep(w, lo, hi, start_row(t, n, lo, hi, shifts));
        plain = its >= plain_test_after;
        ++its;
    }
}

}  // namespace

Result<void> iterate(std::span<double> t, std::uint64_t n, std::span<double> q, Scope scope) {
    if (n < 3) return {};
    ScratchRow scratch(n);
    // The sweeps work on Qᵀ, whose rows are Q's columns: every reflection then runs along
    // contiguous memory. Q gets its columns back whichever way the iteration ends.
    std::vector<double> qt;
    if (scope == Scope::whole_matrix && !q.empty()) {
        qt.resize(static_cast<std::size_t>(n * n));
        transpose_square(q, qt, n);
    }
    const Result<void> run = run_sweeps(Sweep{t, n, qt, scope, bulge::bulge_window(), scratch.span()});
    if (!qt.empty()) transpose_square(qt, q, n);
    return run;
}

}  // namespace kavrel_ops::application::linalg::schur::francis
