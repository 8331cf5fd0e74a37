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

// The n×n identity, row-major. An order whose n·n entries cannot be indexed is as unobtainable as
// one too large to allocate: std::bad_alloc.
[[nodiscard]] std::vector<double> identity(std::uint64_t n);

// --- Solvers with a factor of order n ---------------------------------------------------------

// A zero-filled solution vector of order n, then the length test of the right-hand side b:
// ShapeMismatch lhs [len(b)], rhs [n]. No element of b is read.
[[nodiscard]] Result<Array<double, 1>> solution_vector(std::uint64_t n, const ArrayView<double, 1>& b);

// Element i of a one-axis view. Requires: i below its length.
[[nodiscard]] double element(const ArrayView<double, 1>& v, std::uint64_t i);

// solution_vector(n, b) holding b's element index(i) at each i < n, overwritten by solve(x) with
// the solution of the factorised system.
template <class Index, class Solve>
[[nodiscard]] Result<Array<double, 1>> solve_vector(std::uint64_t n, const ArrayView<double, 1>& b, Index&& index,
                                                    Solve&& solve) {
    auto x = solution_vector(n, b);
    if (!x) return x;
    double* out = x->data();
    for (std::uint64_t i = 0; i < n; ++i) out[i] = element(b, index(i));
    solve(std::span<double>(out, static_cast<std::size_t>(n)));
    return x;
}

// The n×n row-major matrix whose column j solves the right-hand side with entries
// unit(i, j) ? 1.0 : 0.0: solve(rhs, count) overwrites `count` right-hand sides of n entries,
// stored one after another, with their solutions, in groups of tuning::solve_group_columns.
template <class Unit, class Solve>
[[nodiscard]] std::vector<double> solve_unit_columns(std::size_t n, Unit&& unit, Solve&& solve) {
    constexpr std::size_t group = kavrel_ops::domain::tuning::solve_group_columns;
    std::vector<double> result(n * n);
    std::vector<double> r(std::min(n, group) * n);
    for (std::size_t first = 0; first < n; first += group) {
        const std::size_t count = std::min(group, n - first);
        for (std::size_t c = 0; c < count; ++c)
            for (std::size_t i = 0; i < n; ++i) r[c * n + i] = unit(i, first + c) ? 1.0 : 0.0;
        solve(std::span<double>(r.data(), count * n), count);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t c = 0; c < count; ++c) result[i * n + first + c] = r[c * n + i];
    }
    return result;
}

}  // namespace kavrel_ops::application::linalg::working
