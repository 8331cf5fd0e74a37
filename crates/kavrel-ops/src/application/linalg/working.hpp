// The row-major working storage the dense factorisations start from: the shape tests in front of
// them (nothing read yet), the private row-major copy of an input view or its own storage when
// that already is one, the scan for infinite and NaN entries that fails with the caller's text,
// the identity an orthogonal or unit-triangular factor is accumulated from, the exact scale limit
// of the entries a factorisation reads; and the solution vector and unit columns of a solve with
// a factor, solved again in an unbounded exponent where the factor's substitutions overflow.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "kavrel/application/array/types.hpp"
#include "kavrel/application/view/immutable.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"
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

using scaling::exponent::Wide;

// The triangular solves of a factor in float64 arithmetic with an unbounded exponent, in place on
// x, for the n×n row-major factor f: with the lower triangle of f (its diagonal taken as 1 where
// `unit`), with the upper triangle and its diagonal, and with the transpose of the lower
// triangle and its diagonal. Each entry subtracts its terms in ascending order, then divides.
void wide_lower_solve(std::span<const double> f, std::uint64_t n, bool unit, std::span<Wide> x) noexcept;
void wide_upper_solve(std::span<const double> f, std::uint64_t n, std::span<Wide> x) noexcept;
void wide_lower_transposed_solve(std::span<const double> f, std::uint64_t n, std::span<Wide> x) noexcept;

// A zero-filled solution vector of order n, then the length test of the right-hand side b:
// ShapeMismatch lhs [len(b)], rhs [n]. No element of b is read.
[[nodiscard]] Result<Array<double, 1>> solution_vector(std::uint64_t n, const ArrayView<double, 1>& b);

// Element i of a one-axis view. Requires: i below its length.
[[nodiscard]] double element(const ArrayView<double, 1>& v, std::uint64_t i);

namespace detail {
// y := y·2^-cols and true where every entry is finite; false, y untouched, otherwise. A scale
// down loses only the bits of an entry below the normal range, which its float64 value, formed
// in an unbounded exponent, would lose as well.
[[nodiscard]] bool settle_solution(std::span<double> y, std::span<const std::int32_t> cols) noexcept;
// y := y·2^-cols, whatever y holds.
void scale_solution(std::span<double> y, std::span<const std::int32_t> cols) noexcept;
// x := diag(2^-cols)·y, where wide_solve(w) solves F·y = diag(2^-rows)·b on the wide values of b,
// each entry of x rounded once to float64 at the end.
void solve_wide(std::span<double> x, std::span<const double> b, FactorScales scales,
                const std::function<void(std::span<Wide>)>& wide_solve);
}  // namespace detail

// `count` systems A·x = b solved in x (count·n entries, one system after another) with a factor
// of A scaled by `scales`: fill(j, x_j) writes right-hand side j, substitute(x, count) runs the
// factor's substitutions on them in place, and wide_solve(w) the same in float64 arithmetic with
// an unbounded exponent (wide_lower_solve and its kin). Systems whose substitutions stay finite
// at b's own scale cost just those and one finiteness scan of x, their column scales undone
// after. A system whose intermediates overflow, or whose factor has row scales (which could round
// b), is solved in the unbounded exponent instead, so that no scale rounds b and an entry of x is
// ±inf only where the solution itself leaves the range; an entry below the normal range is
// rounded to the subnormal grid from its float64 value. A b with infinite or NaN entries keeps
// the substitutions' IEEE result.
template <class Fill, class Substitute, class WideSolve>
void solve_in_range(std::span<double> x, std::size_t count, FactorScales scales, Fill&& fill, Substitute&& substitute,
                    WideSolve&& wide_solve) {
    if (count == 0) return;
    const std::size_t n = x.size() / count;
    const bool scaled_rows = !scales.rows.empty();
    if (!scaled_rows) {
        for (std::size_t j = 0; j < count; ++j) fill(j, x.subspan(j * n, n));
        substitute(x, count);
        if (scales.cols.empty() && all_finite(x)) return;
    }
    std::vector<double> b(n);
    for (std::size_t j = 0; j < count; ++j) {
        const std::span<double> v = x.subspan(j * n, n);
        if (!scaled_rows && detail::settle_solution(v, scales.cols)) continue;
        fill(j, std::span<double>(b));
        if (all_finite(b)) {
            detail::solve_wide(v, b, scales, wide_solve);
            continue;
        }
        if (scaled_rows) {
            for (std::size_t i = 0; i < n; ++i) v[i] = scaling::exponent::scalbn(b[i], -scales.rows[i]);
            substitute(v, std::size_t{1});
        }
        detail::scale_solution(v, scales.cols);
    }
}

// solution_vector(n, b) solved by solve_in_range with x[i] = b[index(i)]: substitute(x, 1) is
// only ever asked for the one system.
template <class Index, class Substitute, class WideSolve>
[[nodiscard]] Result<Array<double, 1>> solve_vector(std::uint64_t n, const ArrayView<double, 1>& b, Index&& index,
                                                    FactorScales scales, Substitute&& substitute, WideSolve&& wide_solve) {
    auto x = solution_vector(n, b);
    if (!x) return x;
    const auto fill = [&](std::size_t, std::span<double> out) {
        for (std::uint64_t i = 0; i < n; ++i) out[i] = element(b, index(i));
    };
    solve_in_range(std::span<double>(x->data(), static_cast<std::size_t>(n)), 1, scales, fill, substitute, wide_solve);
    return x;
}

// The n×n row-major matrix whose column j solves the right-hand side with entries
// unit(i, j) ? 1.0 : 0.0, by solve_in_range on groups of tuning::solve_group_columns columns.
template <class Unit, class Substitute, class WideSolve>
[[nodiscard]] std::vector<double> solve_unit_columns(std::size_t n, Unit&& unit, FactorScales scales,
                                                     Substitute&& substitute, WideSolve&& wide_solve) {
    constexpr std::size_t group = kavrel_ops::domain::tuning::solve_group_columns;
    std::vector<double> result(n * n);
    std::vector<double> r(std::min(n, group) * n);
    for (std::size_t first = 0; first < n; first += group) {
        const std::size_t count = std::min(group, n - first);
        const auto fill = [&](std::size_t column, std::span<double> out) {
            for (std::size_t i = 0; i < n; ++i) out[i] = unit(i, first + column) ? 1.0 : 0.0;
        };
        solve_in_range(std::span<double>(r.data(), count * n), count, scales, fill, substitute, wide_solve);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t c = 0; c < count; ++c) result[i * n + first + c] = r[c * n + i];
    }
    return result;
}

}  // namespace kavrel_ops::application::linalg::working
