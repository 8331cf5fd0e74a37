#include "kavrel_ops/application/linalg/lu/solvers.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

#include "kavrel_ops/application/linalg/lu/decompose.hpp"
#include "kavrel_ops/application/linalg/lu/eliminate.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"
#include "kavrel_ops/application/linalg/working.hpp"

namespace kavrel_ops::application::linalg::lu::solvers {

namespace {

// The row scales in the order of the permuted right-hand side: row i of the factors is A's
// row perm[i].
std::vector<std::int32_t> rows_in_factor_order(const LuDecomposition& f) {
    std::vector<std::int32_t> rows(f.row_exponent.empty() ? 0 : f.perm.size());
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = f.row_exponent[f.perm[i]];
    return rows;
}

// L·U·y = x in the unbounded exponent: the substitutions of solve_in_place without a value
// leaving the range.
auto wide_substitutions(const LuDecomposition& f) {
    return [&f](std::span<working::Wide> x) {
        const std::span<const double> lu(f.lu.data(), f.lu.len());
        working::wide_lower_solve(lu, f.perm.size(), true, x);
        working::wide_upper_solve(lu, f.perm.size(), x);
    };
}

}  // namespace

Result<Array<double, 1>> lu_solve(const ArrayView<double, 2>& a, const ArrayView<double, 1>& b) {
    auto f = decompose::lu_decompose(a);
    if (!f) return std::unexpected(std::move(f.error()));
    const std::vector<std::int32_t> rows = rows_in_factor_order(*f);
    return working::solve_vector(
        f->perm.size(), b, [&](std::uint64_t i) { return f->perm[i]; }, {rows, f->column_exponent},
        [&](std::span<double> x, std::size_t) { f->solve_in_place(x); }, wide_substitutions(*f));
}

Result<Array<double, 2>> inv(const ArrayView<double, 2>& a) {
    auto f = decompose::lu_decompose(a);
    if (!f) return std::unexpected(std::move(f.error()));
    const std::size_t n = f->perm.size();
    // Column j solves A·x = e_j, that is L·U·x = P·e_j at the factors' scale: its right-hand side
    // is 1 where perm[i] = j.
    const std::vector<std::int32_t> rows = rows_in_factor_order(*f);
    std::vector<double> result = working::solve_unit_columns(
        n, [&](std::size_t i, std::size_t j) { return f->perm[i] == j; }, {rows, f->column_exponent},
        [&](std::span<double> rhs, std::size_t count) { f->solve_columns_in_place(rhs, count); },
        wide_substitutions(*f));
    return Array<double, 2>::from_vec({n, n}, std::move(result));
}

Result<double> determinant(const ArrayView<double, 2>& a) {
    auto f = decompose::lu_decompose(a);
    if (!f) {
        if (eliminate::is_zero_pivot(f.error())) return 0.0;
        return std::unexpected(std::move(f.error()));
    }
    const std::uint64_t n = f->perm.size();
    const std::span<const double> lu(f->lu.data(), f->lu.len());
    // det A = det(diag(2^-r)·A·diag(2^-c))·2^(r[0] + … + c[n−1]): the scales join the product's
    // exponent.
    long scale = 0;
    for (std::int32_t r : f->row_exponent) scale += r;
    for (std::int32_t c : f->column_exponent) scale += c;
    return detail::scaled_product(f->sign >= 0 ? 1.0 : -1.0, lu, n, n + 1, scale);
}

namespace detail {

double scaled_product(double sign, std::span<const double> d, std::uint64_t count, std::uint64_t stride,
                      long exponent) noexcept {
    // The product keeps an exponent of its own. Each factor is split the same way, so the
    // rounded product of two significands is a normal number and its rounding is that of the
    // plain product wherever that one is normal. frexp leaves ±inf and NaN as they are, which then
    // carry through as in the plain product.
    namespace ex = scaling::exponent;
    ex::Wide p{0.5 * sign, 1 + exponent};  // ±1, split as frexp splits it
    for (std::uint64_t i = 0; i < count; ++i) p = ex::wide_mul(p, ex::wide_of(d[i * stride]));
    return ex::narrow(p);
}

}  // namespace detail

}  // namespace kavrel_ops::application::linalg::lu::solvers
