// The row-major working storage the dense factorisations start from: the shape tests in front of
// them (nothing read yet), the private row-major copy of an input view or its own storage when
// that already is one, the scan for infinite and NaN entries that fails with the caller's text,
// the identity an orthogonal or unit-triangular factor is accumulated from; and the solution
// vector and unit columns of a solve with a factor.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"
#include "kavrel_ops/application/linalg/scaling/gate.hpp"
#include "kavrel_ops/domain/tuning.hpp"

namespace kavrel_ops::application::linalg::working {

using kavrel::application::array::types::Array;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::Result;

// rows, or ShapeMismatch lhs [rows, cols], rhs [rows, rows] when the matrix is not square.
[[nodiscard]] Result<std::uint64_t> square_order(std::uint64_t rows, std::uint64_t cols);
// ShapeMismatch lhs [rows, cols], rhs [cols, cols] when there are fewer rows than columns.
[[nodiscard]] Result<void> require_tall(std::uint64_t rows, std::uint64_t cols);

// The view's elements in row-major order: one block copy when it is row-major inside its storage,
// otherwise a copy in logical element order.
[[nodiscard]] std::vector<double> working_copy(const ArrayView<double, 2>& a);
// The view's elements in row-major order without a copy when they already lie so inside its
// storage; otherwise `copy`, filled here. The span borrows from the view's buffer or from `copy`.
[[nodiscard]] std::span<const double> row_major_elements(const ArrayView<double, 2>& a, std::vector<double>& copy);
// The view's m×n elements column-major, (i, j) at i + j·m.
[[nodiscard]] std::vector<double> column_major_copy(const ArrayView<double, 2>& a);

// True when every value is finite: one branch-free pass.
[[nodiscard]] bool all_finite(std::span<const double> values) noexcept;
// StorageError `non_finite` at the first infinite or NaN entry in order. `non_finite` is static text.
[[nodiscard]] Result<void> check_finite(std::span<const double> entries, const char* non_finite);
// The same scan, keeping max |entry| (0.0 for no entries).
[[nodiscard]] Result<double> finite_max_abs(std::span<const double> entries, const char* non_finite);
// max |entry| (+0.0 for no entries), or nothing when an entry is infinite or NaN.
[[nodiscard]] std::optional<double> max_abs_if_finite(std::span<const double> entries) noexcept;
// working_copy, then check_finite on it.
[[nodiscard]] Result<std::vector<double>> finite_working_copy(const ArrayView<double, 2>& a, const char* non_finite);

// The working copy of a square matrix with its order and largest magnitude.
struct FiniteSquare {
    std::vector<double> entries;  // n×n, row-major; handed to the first attempt_entries
    std::uint64_t n;
    double amax;  // max |entry|, 0.0 for n = 0
    bool taken = false;
};
// square_order (nothing read yet), then working_copy and finite_max_abs on it.
[[nodiscard]] Result<FiniteSquare> finite_square_copy(const ArrayView<double, 2>& a, const char* non_finite);
// The entries an attempt of scaling::gate::factor_in_range factors, input·2^-k: the first call
// takes input's copy, later ones copy a (the view it was made from) again.
[[nodiscard]] std::vector<double> attempt_entries(FiniteSquare& input, const ArrayView<double, 2>& a, std::int32_t k);

// The entries of a square matrix that a factorisation reads.
enum class Entries : std::uint8_t { all, lower, upper };  // triangles with the diagonal
// The largest k that keeps those entries of the square view exact when scaled by 2^-k: the limit
// of scaling::gate::factor_in_range for a factorisation that reads them.
[[nodiscard]] std::int32_t exact_scale_limit(const ArrayView<double, 2>& a, Entries read);

// The n×n identity, row-major. An order whose n·n entries cannot be indexed is as unobtainable as
// one too large to allocate: std::bad_alloc.
[[nodiscard]] std::vector<double> identity(std::uint64_t n);

// --- Solvers with a factor of order n ---------------------------------------------------------

// The power-of-two scales of a factor: it factors diag(2^-rows)·A·diag(2^-cols), so A·x = b is
// F·y = diag(2^-rows)·b with x = diag(2^-cols)·y. Either may be empty (no scale); rows are in the
// order of the right-hand side as the solver fills it.
struct FactorScales {
    std::span<const std::int32_t> rows;
    std::span<const std::int32_t> cols;
};

// A zero-filled solution vector of order n, then the length test of the right-hand side b:
// ShapeMismatch lhs [len(b)], rhs [n]. No element of b is read.
[[nodiscard]] Result<Array<double, 1>> solution_vector(std::uint64_t n, const ArrayView<double, 1>& b);

// Element i of a one-axis view. Requires: i below its length.
[[nodiscard]] double element(const ArrayView<double, 1>& v, std::uint64_t i);

namespace detail {
// The scale of column i: 0 where there are none.
[[nodiscard]] inline std::int32_t column_scale(std::span<const std::int32_t> cols, std::size_t i) noexcept {
    return cols.empty() ? 0 : cols[i];
}
// True where y, solved with the right-hand side b·2^-s, gives the entry y·2^(s − c) of x finite
// (or ±inf: the solution itself is that large) and without a bit lost on the way down.
[[nodiscard]] bool entry_settles(double y, std::int32_t s, std::int32_t c) noexcept;
// y := y·2^(s − cols) and true where every entry settles; false, y untouched, otherwise.
[[nodiscard]] bool settle_solution(std::span<double> y, std::int32_t s, std::span<const std::int32_t> cols) noexcept;
// True where every open entry of y settles.
[[nodiscard]] bool open_entries_settle(std::span<const double> y, std::int32_t s, std::span<const std::int32_t> cols,
                                       std::span<const char> open) noexcept;
// x[i] := y[i]·2^-cols[i] for each entry that settles at s = 0, which is then no longer open.
void close_unscaled(std::span<double> x, std::span<const double> y, std::span<const std::int32_t> cols,
                    std::span<char> open) noexcept;
// The entries of a retry y, solved with b·2^-s, into x: an open entry finite in y (where a scale
// down may round it), which is then no longer open; an entry settled at s = 0 (held in x) where
// the retry settles it as well and did not take it below the normal range on the way, so that a
// solution the retry forms whole is the retry's.
void close_retried(std::span<double> x, std::span<const double> y, std::int32_t s, std::span<const std::int32_t> cols,
                   std::span<char> open) noexcept;
// The largest s with every b[i]·2^-(rows[i] + s) exact; negative where rows alone round an entry.
[[nodiscard]] std::int32_t rhs_scale_limit(std::span<const double> b, std::span<const std::int32_t> rows) noexcept;
// y := b·2^-(rows + s).
void scale_rhs(std::span<double> y, std::span<const double> b, std::span<const std::int32_t> rows, std::int32_t s) noexcept;
// y := y·2^(s − cols), whatever y holds.
void scale_solution(std::span<double> y, std::int32_t s, std::span<const std::int32_t> cols) noexcept;
// True where no entry is open.
[[nodiscard]] bool none_open(std::span<const char> open) noexcept;

// How far past b's exact scales a probe goes to tell a solution beyond the range: 2^0 .. 2^12.
inline constexpr std::int32_t probe_steps = 13;

// One system of solve_in_range whose solution at b's own scale is not settled: x holds that
// solution where `unscaled` (only without row scales); b is finite.
template <class Substitute>
[[nodiscard]] Result<void> settle_system(std::span<double> x, std::span<const double> b, bool unscaled, FactorScales scales,
                                         Substitute& substitute, const char* reason) {
    const std::size_t n = x.size();
    std::vector<char> open(n, 1);
    const std::int32_t limit = rhs_scale_limit(b, scales.rows);
    const auto solve_at = [&](std::int32_t s) {
        std::vector<double> y(n);
        scale_rhs(y, b, scales.rows, s);
        substitute(std::span<double>(y), std::size_t{1});
        return y;
    };
    struct Retry {
        std::int32_t s;
        std::vector<double> y;
    };
    const auto attempt = [&](std::int32_t s) -> scaling::gate::Attempt<Retry> {
        Retry r{s, solve_at(s)};
        const bool settled = open_entries_settle(r.y, s, scales.cols, open);
        return {std::move(r), settled};
    };
    // An entry the substitutions form finite at b's own scale was formed from finite values only:
    // it is the ordinary solve's, bit for bit, and stands where a retry would round it. Where the
    // row scales would round b, b is scaled up as little as they need instead.
    scaling::gate::Attempt<Retry> first{Retry{0, {}}, false};
    if (limit >= 0) {
        if (!unscaled) {
            scale_rhs(x, b, scales.rows, 0);
            substitute(x, std::size_t{1});
        }
        first.outcome->y.assign(x.begin(), x.end());
        close_unscaled(x, first.outcome->y, scales.cols, open);
        if (none_open(open)) return {};
    } else {
        first = attempt(limit);
    }
    const Result<Retry> retry = first.in_range || limit <= 0
                                    ? std::move(first.outcome)
                                    : scaling::gate::least_in_range<Retry>(scaling::gate::solve_steps(limit), attempt,
                                                                           std::move(first));
    // An entry below the normal range that no exact scale forms at its own is rounded there once
    // more, from the largest.
    close_retried(x, retry->y, retry->s, scales.cols, open);
    if (none_open(open)) return {};
    // What overflows at every exact scale is ±inf where the solution itself leaves the range. A
    // probe beyond them, whose rounded b decides nothing else, tells that from a finite entry that
    // cannot be formed exactly.
    for (std::int32_t step = 0; step < probe_steps; ++step) {
        const std::int32_t s = std::max(limit, 0) + (std::int32_t{1} << step);
        const std::vector<double> y = solve_at(s);
        bool finite = true;
        for (std::size_t i = 0; i < n; ++i) finite = finite && (open[i] == 0 || std::isfinite(y[i]));
        if (!finite) continue;
        for (std::size_t i = 0; i < n; ++i) {
            if (open[i] == 0) continue;
            const double v = scaling::exponent::scalbn(y[i], s - column_scale(scales.cols, i));
            if (!std::isinf(v)) return kavrel::domain::error::overflow(reason);
            x[i] = v;
        }
        return {};
    }
    return kavrel::domain::error::overflow(reason);
}
}  // namespace detail

// `count` systems A·x = b solved in x (count·n entries, one system after another) with a factor
// of A scaled by `scales`: fill(j, x_j) writes right-hand side j, and substitute(x, count) runs
// the factor's substitutions on them in place. Ordinary systems (no scales) cost just that and
// one finiteness scan of x. Otherwise each entry of x is the one formed at b's own scale where
// that is finite and exact, and else the one formed with diag(2^-rows)·b·2^-s for the least s
// over gate::solve_steps (gate::least_in_range) that keeps b exact and the entry finite and
// exact on the way back: no scale rounds b, and x leaves the range (±inf) only where the solution
// itself does, which a probe beyond the exact scales tells where none reaches. Only an entry
// below the normal range that no exact s forms at its own scale is rounded once more. A b with
// infinite or NaN entries keeps the substitutions' IEEE result. Fails with KavrelError::Overflow
// `reason` (static text) where an entry is finite but no exact s keeps it so.
template <class Fill, class Substitute>
[[nodiscard]] Result<void> solve_in_range(std::span<double> x, std::size_t count, FactorScales scales, Fill&& fill,
                                          Substitute&& substitute, const char* reason) {
    const std::size_t n = count == 0 ? 0 : x.size() / count;
    const bool scaled_rows = !scales.rows.empty();
    if (!scaled_rows) {
        for (std::size_t j = 0; j < count; ++j) fill(j, x.subspan(j * n, n));
        substitute(x, count);
        if (scales.cols.empty() && all_finite(x)) return {};
    }
    std::vector<double> b(n);
    for (std::size_t j = 0; j < count; ++j) {
        const std::span<double> v = x.subspan(j * n, n);
        if (!scaled_rows && detail::settle_solution(v, 0, scales.cols)) continue;
        fill(j, std::span<double>(b));
        if (!all_finite(b)) {
            if (scaled_rows) {
                detail::scale_rhs(v, b, scales.rows, 0);
                substitute(v, std::size_t{1});
            }
            detail::scale_solution(v, 0, scales.cols);
            continue;
        }
        if (auto settled = detail::settle_system(v, b, !scaled_rows, scales, substitute, reason); !settled) return settled;
    }
    return {};
}

// solution_vector(n, b) solved by solve_in_range with x[i] = b[index(i)]: substitute(x, 1) is
// only ever asked for the one system.
template <class Index, class Substitute>
[[nodiscard]] Result<Array<double, 1>> solve_vector(std::uint64_t n, const ArrayView<double, 1>& b, Index&& index,
                                                    FactorScales scales, Substitute&& substitute, const char* reason) {
    auto x = solution_vector(n, b);
    if (!x) return x;
    const auto fill = [&](std::size_t, std::span<double> out) {
        for (std::uint64_t i = 0; i < n; ++i) out[i] = element(b, index(i));
    };
    const std::span<double> out(x->data(), static_cast<std::size_t>(n));
    if (auto solved = solve_in_range(out, 1, scales, fill, substitute, reason); !solved)
        return std::unexpected(std::move(solved.error()));
    return x;
}

// The n×n row-major matrix whose column j solves the right-hand side with entries
// unit(i, j) ? 1.0 : 0.0, by solve_in_range on groups of tuning::solve_group_columns columns.
template <class Unit, class Substitute>
[[nodiscard]] Result<std::vector<double>> solve_unit_columns(std::size_t n, Unit&& unit, FactorScales scales,
                                                             Substitute&& substitute, const char* reason) {
    constexpr std::size_t group = kavrel_ops::domain::tuning::solve_group_columns;
    std::vector<double> result(n * n);
    std::vector<double> r(std::min(n, group) * n);
    for (std::size_t first = 0; first < n; first += group) {
        const std::size_t count = std::min(group, n - first);
        const auto fill = [&](std::size_t c_index, std::span<double> out) {
            for (std::size_t i = 0; i < n; ++i) out[i] = unit(i, first + c_index) ? 1.0 : 0.0;
        };
        if (auto solved = solve_in_range(std::span<double>(r.data(), count * n), count, scales, fill, substitute, reason);
            !solved)
            return std::unexpected(std::move(solved.error()));
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t col = 0; col < count; ++col) result[i * n + first + col] = r[col * n + i];
    }
    return result;
}

}  // namespace kavrel_ops::application::linalg::working
