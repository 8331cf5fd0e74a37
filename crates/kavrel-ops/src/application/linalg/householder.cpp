#include "kavrel_ops/application/linalg/householder.hpp"

#include <cmath>

#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"

namespace kavrel_ops::application::linalg::householder {

namespace ex = scaling::exponent;

namespace checked = kavrel::domain::checked;
using kavrel::domain::error::fail_invariant;
using Scalar = kavrel_ops::domain::scalar::contract::Scalar<double>;

namespace {

double sum_of_squares(std::span<const double> v) {
    double sum = 0.0;
    for (double x : v) sum = sum + x * x;
    return sum;
}

// Row `row` of the block, columns [first_col, first_col + width), checked against the storage.
std::span<double> row_segment(std::span<double> data, std::uint64_t row_stride, std::uint64_t row,
                              std::uint64_t first_col, std::uint64_t width) {
    constexpr const char* outside = "invariant: a reflected block lies inside its matrix";
    const std::uint64_t start = checked::expect(checked::mul_add(row, row_stride, first_col), outside);
    if (!checked::ends_within(start, width, data.size())) fail_invariant(outside);
    return data.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(width));
}

}  // namespace

std::optional<HouseholderReflector> reflector(std::span<const double> x) {
    if (x.empty()) return std::nullopt;
    bool tail_is_zero = true;
    for (double xi : x.subspan(1)) tail_is_zero = tail_is_zero && xi == 0.0;
    if (tail_is_zero) return std::nullopt;

    std::vector<double> v(x.begin(), x.end());
    double m = 0.0;
    for (double xi : x)
        if (std::fabs(xi) > m) m = std::fabs(xi);
    if (m == 0.0) return std::nullopt;
    // Bring the largest magnitude into [1, 2): the squares below can then neither overflow nor
    // all underflow, whatever the scale of x.
    const int e = std::isfinite(m) ? ex::ilogb(m) : 0;
    ex::scale_by_power_of_two(v, -e);

    const double s = std::sqrt(sum_of_squares(v));
    const double beta_scaled = v[0] < 0.0 ? s : -s;
    v[0] = v[0] - beta_scaled;
    const double tau = 2.0 / sum_of_squares(v);
    return HouseholderReflector{std::move(v), tau, ex::scalbn(beta_scaled, e)};
}

void apply_left(const HouseholderReflector& reflector, std::span<double> data, std::uint64_t row_stride,
                std::uint64_t first_row, std::uint64_t first_col, std::uint64_t end_col, std::vector<double>& work) {
    if (end_col <= first_col) return;
    const std::uint64_t width = end_col - first_col;
    const std::span<const double> v = reflector.v;
    work.assign(static_cast<std::size_t>(width), 0.0);
    for (std::size_t i = 0; i < v.size(); ++i)
        Scalar::axpy_slice(row_segment(data, row_stride, first_row + i, first_col, width), work, v[i]);
    for (double& w : work) w = reflector.tau * w;
    for (std::size_t i = 0; i < v.size(); ++i)
        Scalar::axpy_slice(work, row_segment(data, row_stride, first_row + i, first_col, width), 0.0 - v[i]);
}

void apply_right(const HouseholderReflector& reflector, std::span<double> data, std::uint64_t row_stride,
                 std::uint64_t first_row, std::uint64_t end_row, std::uint64_t first_col) {
    const std::span<const double> v = reflector.v;
    for (std::uint64_t row = first_row; row < end_row; ++row) {
        const std::span<double> segment = row_segment(data, row_stride, row, first_col, v.size());
        const double d = Scalar::dot_slice(segment, v);
        Scalar::axpy_slice(v, segment, 0.0 - d * reflector.tau);
    }
}

}  // namespace kavrel_ops::application::linalg::householder
