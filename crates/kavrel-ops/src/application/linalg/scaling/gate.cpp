#include "kavrel_ops/application/linalg/scaling/gate.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "kavrel_ops/application/linalg/scaling/exponent.hpp"
#include "kavrel_ops/application/linalg/scaling/norm_ratio.hpp"
#include "kavrel_ops/application/linalg/working.hpp"

namespace kavrel_ops::application::linalg::scaling::gate {

namespace ex = exponent;
using kavrel::domain::error::fail_invariant;

std::int32_t exponent_of(const GateOutcome& outcome) noexcept {
    const Scaled* s = std::get_if<Scaled>(&outcome);
    return s ? s->k : 0;
}

ArrayView<double, 2> operand(const GateOutcome& outcome, const ArrayView<double, 2>& input) {
    if (const Scaled* s = std::get_if<Scaled>(&outcome)) return ArrayView<double, 2>::of(s->matrix);
    return input;
}

std::optional<std::int32_t> balancing_exponent(double value, double lo, double hi) {
    if (!(value > 0.0) || !std::isfinite(value))
        fail_invariant("invariant: a balanced magnitude is positive and finite");
    if (lo <= value && value <= hi) return std::nullopt;
    // Both searches start at the difference of the binary exponents, which is within one or two
    // shifts of the answer, and the tests are monotone in the shift, so the loops are short.
    if (value > hi) {
        if (!(hi > 0.0)) fail_invariant("invariant: the upper bound of a window is positive");
        const auto fits = [&](int j) { return ex::scalbn(value, -j) <= hi; };
        int j = std::max(1, ex::ilogb(value) - ex::ilogb(hi));
        while (!fits(j)) ++j;
        while (j > 1 && fits(j - 1)) --j;
        return j;
    }
    if (!std::isfinite(lo)) fail_invariant("invariant: the lower bound of a window is finite");
    const auto reaches = [&](int j) { return ex::scalbn(value, j) >= lo; };
    int j = std::max(1, ex::ilogb(lo) - ex::ilogb(value));
    while (!reaches(j)) ++j;
    while (j > 1 && reaches(j - 1)) --j;
    return -j;
}

Result<void> check_window(const Window& window) {
    if (window.lo > window.hi) return kavrel::domain::error::overflow(order_exceeds_range);
    if (window.floor > window.hi) return kavrel::domain::error::overflow(floor_exceeds_range);
    return {};
}

std::optional<std::int32_t> window_exponent(double amax, const Window& window) {
    return balancing_exponent(amax, std::max(window.floor, window.lo), window.hi);
}

double window_lo() noexcept {
    const double s = std::sqrt(ex::safmin() / ex::eps);
    return s + ex::eps * s;
}

double window_hi(std::int32_t w) noexcept {
    const double s = std::sqrt(ex::scalbn(ex::dbl_max(), w));
    return s - ex::eps * s;
}

namespace {

// max |entry| when every entry is finite and one is non-zero: the magnitudes the gate may scale.
std::optional<double> scalable_amax(std::span<const double> entries) {
    const auto amax = working::max_abs_if_finite(entries);
    if (!amax || *amax == 0.0) return std::nullopt;
    return amax;
}

Window rows_window(std::uint64_t rows) {
    return {window_lo(), window_hi(-ex::ceil_log2(std::max<std::uint64_t>(rows, 1))), ex::safmin() / ex::eps};
}

Window overflow_window(std::uint64_t rows, std::uint64_t cols) {
    const int c = ex::ceil_log2(std::max<std::uint64_t>({rows, cols, 1}));
    return {window_lo(), ex::scalbn(ex::dbl_max(), -(8 + 2 * c)), ex::safmin() / ex::eps};
}

// check_window, then the exponent that brings amax into the window (none: it is inside).
Result<std::optional<std::int32_t>> exponent_in(double amax, const Window& window) {
    if (auto checked = check_window(window); !checked) return std::unexpected(std::move(checked.error()));
    return window_exponent(amax, window);
}

// The copy scaled into `window`, or NoScaling.
Result<GateOutcome> balanced_in(std::optional<GateCopy>&& copy, const Window& window) {
    if (!copy) return NoScaling{};
    const auto k = exponent_in(copy->amax, window);
    if (!k) return std::unexpected(k.error());
    if (!*k) return NoScaling{};
    return scaled(std::move(*copy), **k);
}

}  // namespace

std::optional<GateCopy> gate_copy(const ArrayView<double, 2>& view) {
    const std::uint64_t rows = view.rows(), cols = view.cols();
    if (rows == 0 || cols == 0) return std::nullopt;
    std::vector<double> entries = working::working_copy(view);
    const std::optional<double> amax = scalable_amax(entries);
    if (!amax) return std::nullopt;
    return GateCopy{std::move(entries), rows, cols, *amax};
}

GateOutcome scaled(GateCopy&& copy, std::int32_t k) {
    ex::scale_by_power_of_two(copy.entries, -k);
    auto matrix = kavrel::domain::error::expect(Array<double, 2>::from_vec({copy.rows, copy.cols}, std::move(copy.entries)),
                                                "invariant: a copy of a view keeps its shape and length");
    return Scaled{std::move(matrix), k};
}

Result<GateOutcome> balanced(const ArrayView<double, 2>& view, Bound bound) {
    std::optional<GateCopy> copy = gate_copy(view);
    if (!copy) return NoScaling{};
    const std::int32_t r = norm_ratio::norm_ratio_log2(copy->entries, copy->amax);
    const BoundTerms terms = bound(copy->rows, copy->cols, r);
    const std::int32_t u = norm_ratio::half_ceil_log2(terms.order);
    // A lower bound of log2(‖A‖_F / amax) from the same sum, with its error taken off.
    std::int32_t c = 0;
    if (const auto sum = norm_ratio::RatioSum::of(copy->entries, copy->amax))
        c = std::max(sum->exponent + ex::ilogb((1.0 - 2.0 * sum->bound) * sum->mantissa), 0) / 2;
    return balanced_in(std::move(copy), {window_lo(), window_hi(terms.hi_shift), ex::scalbn(ex::safmin() / ex::eps, u - c)});
}

Result<GateOutcome> balanced_by_rows(const ArrayView<double, 2>& view) {
    return balanced_in(gate_copy(view), rows_window(view.rows()));
}

Result<GateOutcome> balanced_below_overflow(const ArrayView<double, 2>& view) {
    return balanced_in(gate_copy(view), overflow_window(view.rows(), view.cols()));
}

Result<std::int32_t> balance_below_overflow(std::span<double> entries, std::uint64_t rows, std::uint64_t cols) {
    const std::optional<double> amax = scalable_amax(entries);
    if (!amax) return 0;
    return balance_in_place(entries, *amax, overflow_window(rows, cols));
}

Result<std::int32_t> balance_in_place(std::span<double> entries, double amax, const Window& window) {
    const auto k = exponent_in(amax, window);
    if (!k) return std::unexpected(k.error());
    if (!*k) return 0;
    ex::scale_by_power_of_two(entries, -**k);
    return **k;
}

RangeSteps range_steps(double amax, std::uint64_t order, std::int32_t limit) {
    RangeSteps steps{{}, 1};
    if (!(amax > 0.0) || !std::isfinite(amax)) return steps;
    const std::int32_t last = std::min(ex::ilogb(amax), limit);
    // Room for 2^R times amax below the largest finite value, R from 16·n's exponent up.
    for (int room = ex::ceil_log2(std::max<std::uint64_t>(order, 1)) + 4; room < 1024 + 1; room *= 2) {
        const std::optional<std::int32_t> k = balancing_exponent(amax, 0.0, ex::scalbn(ex::dbl_max(), -room));
        if (!k || *k <= steps.k[steps.count - 1]) continue;
        if (*k >= last) break;
        steps.k[steps.count++] = *k;
    }
    if (last > steps.k[steps.count - 1]) steps.k[steps.count++] = last;
    return steps;
}

Result<void> restore(std::span<double> values, std::int32_t k, const char* reason) {
    ex::scale_by_power_of_two(values, k);
    for (double v : values)
        if (!std::isfinite(v)) return kavrel::domain::error::overflow(reason);
    return {};
}

Result<void> restore_if_scaled(std::span<double> values, std::int32_t k, const char* reason) {
    if (k == 0) return {};
    return restore(values, k, reason);
}

}  // namespace kavrel_ops::application::linalg::scaling::gate
