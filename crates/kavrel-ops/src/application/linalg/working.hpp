// The row-major working storage the dense factorisations start from: the shape tests in front of
// them (nothing read yet), the private row-major copy of an input view or its own storage when
// that already is one, the scan for infinite and NaN entries that fails with the caller's text,
// the identity an orthogonal or unit-triangular factor is accumulated from; and the solution
// vector and unit columns of a solve with a factor.
#pragma once

#include <algorithm>
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

// The largest k that keeps every entry of the view exact when scaled by 2^-k: the limit of
// scaling::gate::factor_in_range for a factorisation that reads all of them.
[[nodiscard]] std::int32_t exact_scale_limit(const ArrayView<double, 2>& a);

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
// y := y·2^(s − cols) and true where every value of y is finite and none loses a bit on the way;
// false, y untouched, otherwise. An entry beyond the range on the way up becomes ±inf: the
// solution itself is that large.
[[nodiscard]] bool settle_solution(std::span<double> y, std::int32_t s, std::span<const std::int32_t> cols) noexcept;
// The largest s with every b[i]·2^-(rows[i] + s) exact; negative where rows alone round an entry.
[[nodiscard]] std::int32_t rhs_scale_limit(std::span<const double> b, std::span<const std::int32_t> rows) noexcept;
// y := b·2^-(rows + s).
void scale_rhs(std::span<double> y, std::span<const double> b, std::span<const std::int32_t> rows, std::int32_t s) noexcept;
// y := y·2^(s − cols), whatever y holds.
void scale_solution(std::span<double> y, std::int32_t s, std::span<const std::int32_t> cols) noexcept;
}  // namespace detail

// `count` systems A·x = b solved in x (count·n entries, one system after another) with a factor
// of A scaled by `scales`: fill(j, x_j) writes right-hand side j, and substitute(x, count) runs
// the factor's substitutions on them in place. Ordinary systems (no scales) cost just that and
// one finiteness scan of x. Otherwise, and for a system whose solution holds an infinite or NaN
// value formed from a finite b, each system is solved with diag(2^-rows)·b·2^-s for the least s
// from 0 over gate::solve_steps (gate::least_in_range) that keeps b exact, the solve finite and
// x = diag(2^-cols)·y·2^s exact: no scale rounds b or x, and x leaves the range (±inf) only where
// the solution itself does; only where no exact s forms an entry of x below the normal range
// at its own scale is it rounded from the largest one's. A b with infinite or NaN entries keeps
// the substitutions' IEEE result. Fails with KavrelError::Overflow `reason` (static text) where
// no exact s keeps a system's solve finite.
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
            detail::scale_rhs(v, b, scales.rows, 0);
            substitute(v, std::size_t{1});
            detail::scale_solution(v, 0, scales.cols);
            continue;
        }
        const std::int32_t limit = detail::rhs_scale_limit(b, scales.rows);
        if (limit < 0) return kavrel::domain::error::overflow(reason);
        const auto attempt = [&](std::int32_t s, bool last) -> std::optional<Result<std::vector<double>>> {
            std::vector<double> y(n);
            detail::scale_rhs(y, b, scales.rows, s);
            substitute(std::span<double>(y), std::size_t{1});
            if (detail::settle_solution(y, s, scales.cols)) return y;
            if (!last) return std::nullopt;
            if (!all_finite(y)) return kavrel::domain::error::overflow(reason);
            // No exact scale of b reaches the entries of x below the normal range: they are
            // rounded there once more, as close as they come.
            detail::scale_solution(y, s, scales.cols);
            return y;
        };
        // s = 0 has been tried above unless the rows are scaled.
        std::optional<Result<std::vector<double>>> solved;
        if (scaled_rows) solved = attempt(0, limit == 0);
        if (!solved) solved = scaling::gate::least_in_range<std::vector<double>>(scaling::gate::solve_steps(limit), attempt);
        if (!*solved) return std::unexpected(std::move(solved->error()));
        std::copy((*solved)->begin(), (*solved)->end(), v.begin());
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
