#include "kavrel_ops/application/linalg/scaling/gate.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/scaling/exponent.hpp"

namespace {

namespace gate = kavrel_ops::application::linalg::scaling::gate;
namespace ex = kavrel_ops::application::linalg::scaling::exponent;
using kavrel::application::array::types::Array;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::display;
using kavrel::domain::error::InternalError;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// The two solver bounds of the gate as the Schur form and the SVD define them; here to exercise
// the gate's windows with both.
gate::BoundTerms francis_like(std::uint64_t, std::uint64_t n, std::int32_t r) { return {n, -2 * r}; }
gate::BoundTerms svd_like(std::uint64_t m, std::uint64_t n, std::int32_t r) {
    const std::int32_t l = ex::ceil_log2(std::max<std::uint64_t>({m, n, 1}));
    return {std::max<std::uint64_t>(std::min(m, n), 1), -2 - r - ((l + 1) / 2)};
}

// The r the last call of `recording` saw.
std::int32_t seen_r = -99;
gate::BoundTerms recording(std::uint64_t m, std::uint64_t n, std::int32_t r) {
    seen_r = r;
    return svd_like(m, n, r);
}

Array<double, 2> matrix(std::uint64_t rows, std::uint64_t cols, std::vector<double> values) {
    return *Array<double, 2>::from_vec({rows, cols}, std::move(values));
}

// k of an outcome, or nothing for NoScaling; the scaled matrix must be input·2^-k exactly.
std::optional<std::int32_t> scaling_of(const kavrel::domain::error::Result<gate::GateOutcome>& outcome,
                                       const Array<double, 2>& input) {
    EXPECT_TRUE(outcome.has_value());
    if (!outcome) return std::nullopt;
    const auto* s = std::get_if<gate::Scaled>(&*outcome);
    if (!s) {
        EXPECT_EQ(gate::exponent_of(*outcome), 0);
        return std::nullopt;
    }
    EXPECT_EQ(gate::exponent_of(*outcome), s->k);
    EXPECT_EQ(s->matrix.layout.shape, input.layout.shape);
    for (std::uint64_t i = 0; i < input.len(); ++i) EXPECT_EQ(s->matrix.data()[i], std::scalbn(input.data()[i], -s->k));
    return s->k;
}

TEST(GateTest, WindowBoundsAsPrinted) {
    EXPECT_EQ(gate::window_lo(), 1.0010415475915507e-146);
    EXPECT_EQ(gate::window_lo(), std::scalbn(1.0 + ex::eps, -485));
    EXPECT_EQ(gate::window_hi(0), 1.3407807929942593e154);   // francis, r = 0
    EXPECT_EQ(gate::window_hi(-2), 6.703903964971296e153);   // svd, 1×1
    EXPECT_EQ(gate::window_hi(-4), 3.351951982485648e153);   // svd, 2×2 with r = 1
    EXPECT_EQ(gate::window_hi(-1), 9.480751908109174e153);   // QR with two rows
}

TEST(GateTest, BalancingExponent) {
    EXPECT_EQ(gate::balancing_exponent(5, 1, 4), 1);
    EXPECT_EQ(gate::balancing_exponent(0.3, 1, 4), -2);
    EXPECT_EQ(gate::balancing_exponent(2, 1, 4), std::nullopt);
    EXPECT_EQ(gate::balancing_exponent(1, 1, 4), std::nullopt);
    EXPECT_EQ(gate::balancing_exponent(4, 1, 4), std::nullopt);
    EXPECT_EQ(gate::balancing_exponent(ex::dbl_max(), 1, 4), 1022);  // 3.99…, not 1023
    EXPECT_EQ(gate::balancing_exponent(0x1p-1074, 1, 4), -1074);
    EXPECT_EQ(gate::balancing_exponent(0x1p-1074, 0x1.8p0, 4), -1075);
    EXPECT_THROW((void)gate::balancing_exponent(0.0, 1, 4), InternalError);
    EXPECT_THROW((void)gate::balancing_exponent(inf, 1, 4), InternalError);
    EXPECT_THROW((void)gate::balancing_exponent(nan, 1, 4), InternalError);
}

// The minimal shift, checked against a plain search over every shift.
TEST(GateTest, BalancingExponentIsTheSmallestShift) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> unit(1, 2);
    std::uniform_int_distribution<int> exps(-1074, 1023);
    const double lo = gate::window_lo(), hi = gate::window_hi(-3);
    for (int trial = 0; trial < 2000; ++trial) {
        const double value = std::ldexp(unit(rng), exps(rng));
        if (value == 0 || !std::isfinite(value)) continue;
        std::optional<std::int32_t> expected;
        if (value > hi) {
            for (int j = 1;; ++j)
                if (std::scalbn(value, -j) <= hi) {
                    expected = j;
                    break;
                }
        } else if (value < lo) {
            for (int j = 1;; ++j)
                if (std::scalbn(value, j) >= lo) {
                    expected = -j;
                    break;
                }
        }
        ASSERT_EQ(gate::balancing_exponent(value, lo, hi), expected) << value;
    }
}

TEST(GateTest, BalancedExamples) {
    struct Row {
        const char* name;
        gate::Bound bound;
        std::uint64_t rows, cols;
        std::vector<double> values;
        std::optional<std::int32_t> k;
    };
    const Row rows[] = {
        {"francis 1e200", francis_like, 1, 1, {1e200}, 153},
        {"svd 1e200", svd_like, 1, 1, {1e200}, 154},
        {"francis 1e-200", francis_like, 1, 1, {1e-200}, -180},
        {"francis [[1,2],[3,4]]", francis_like, 2, 2, {1, 2, 3, 4}, std::nullopt},
        {"francis 1e300 2x2", francis_like, 2, 2, {1e300, 1e300, 1e300, 1e300}, 486},
        {"svd 1e300 2x2", svd_like, 2, 2, {1e300, 1e300, 1e300, 1e300}, 487},
        {"NaN", francis_like, 2, 2, {1e300, 1, nan, 1}, std::nullopt},
        {"infinity", svd_like, 1, 2, {1e-300, -inf}, std::nullopt},
        {"zeros", svd_like, 2, 3, {0, 0, 0, -0.0, 0, 0}, std::nullopt},
        {"empty", svd_like, 0, 3, {}, std::nullopt},
        // The edges of the 1×1 francis window (r = 0): hi and lo themselves pass.
        {"at hi", francis_like, 1, 1, {1.3407807929942593e154}, std::nullopt},
        {"above hi", francis_like, 1, 1, {std::nextafter(1.3407807929942593e154, inf)}, 1},
        {"at lo", francis_like, 1, 1, {-1.0010415475915507e-146}, std::nullopt},
        {"below lo", francis_like, 1, 1, {std::nextafter(1.0010415475915507e-146, 0.0)}, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Array<double, 2> input = matrix(row.rows, row.cols, row.values);
        EXPECT_EQ(scaling_of(gate::balanced(ArrayView<double, 2>::of(input), row.bound), input), row.k);
    }
}

TEST(GateTest, BalancedPassesTheNormRatioToItsBound) {
    const Array<double, 2> input = matrix(2, 2, {1, 2, 3, 4});
    ASSERT_TRUE(gate::balanced(ArrayView<double, 2>::of(input), recording).has_value());
    EXPECT_EQ(seen_r, 1);
    // A strided (column-major) view is read in logical order: the same outcome as its copy.
    const Array<double, 2> big = matrix(2, 3, {1e300, 2e299, -3e300, 0, 5, 1e250});
    ArrayView<double, 2> transposed = ArrayView<double, 2>::of(big);
    transposed.layout = *transposed.layout.transpose({1, 0});
    const Array<double, 2> copy = matrix(3, 2, {1e300, 0, 2e299, 5, -3e300, 1e250});
    const auto outcome = gate::balanced(transposed, svd_like);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(scaling_of(outcome, copy), scaling_of(gate::balanced(ArrayView<double, 2>::of(copy), svd_like), copy));
}

TEST(GateTest, OperandIsTheScaledCopyOrTheInput) {
    const Array<double, 2> input = matrix(1, 2, {1e200, 1});
    const ArrayView<double, 2> view = ArrayView<double, 2>::of(input);
    const gate::GateOutcome none = gate::NoScaling{};
    EXPECT_EQ(gate::operand(none, view).ptr, view.ptr);
    const auto outcome = gate::balanced(view, francis_like);
    ASSERT_TRUE(outcome.has_value());
    const auto* s = std::get_if<gate::Scaled>(&*outcome);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(gate::operand(*outcome, view).ptr, s->matrix.data());
}

TEST(GateTest, WindowErrors) {
    const std::string order = gate::order_exceeds_range, floor = gate::floor_exceeds_range;
    EXPECT_EQ(order.size(), 101u);
    EXPECT_EQ(floor.size(), 145u);
    auto empty = gate::check_window({1.0, 0.5, 0.0});
    ASSERT_FALSE(empty.has_value());
    EXPECT_EQ(display(empty.error()), "Arithmetic overflow in layout calculations: " + order);
    // An empty window is reported before a floor above it.
    empty = gate::check_window({1.0, 0.5, 2.0});
    ASSERT_FALSE(empty.has_value());
    EXPECT_EQ(display(empty.error()), "Arithmetic overflow in layout calculations: " + order);
    const auto high_floor = gate::check_window({1.0, 4.0, 8.0});
    ASSERT_FALSE(high_floor.has_value());
    EXPECT_EQ(display(high_floor.error()), "Arithmetic overflow in layout calculations: " + floor);
    EXPECT_TRUE(gate::check_window({1.0, 4.0, 4.0}).has_value());
    // Through balanced: a bound whose hi falls below lo.
    const Array<double, 2> input = matrix(1, 1, {1.0});
    const auto failed = gate::balanced(ArrayView<double, 2>::of(input),
                                       [](std::uint64_t, std::uint64_t, std::int32_t) { return gate::BoundTerms{1, -2000}; });
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(display(failed.error()), "Arithmetic overflow in layout calculations: " + order);
}

TEST(GateTest, BalancedByRowsWindow) {
    struct Row {
        const char* name;
        std::uint64_t rows, cols;
        std::vector<double> values;
        std::optional<std::int32_t> k;
    };
    const double hi2 = 9.480751908109174e153;  // two rows
    const Row rows[] = {
        {"1e300 two rows", 2, 2, {1e300, 0, 0, 1}, 486},
        {"1e-300 two rows", 2, 2, {1e-300, 0, 0, 1e-300}, -512},
        {"at hi", 2, 1, {hi2, 1}, std::nullopt},
        {"above hi", 2, 1, {std::nextafter(hi2, inf), 1}, 1},
        {"one row uses hi of 2^0", 1, 2, {1.3407807929942593e154, 0}, std::nullopt},
        {"no rows", 0, 4, {}, std::nullopt},
        {"NaN", 2, 1, {1e300, nan}, std::nullopt},
        {"ordinary", 3, 2, {1, -2, 3, 4, 5, 6}, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Array<double, 2> input = matrix(row.rows, row.cols, row.values);
        EXPECT_EQ(scaling_of(gate::balanced_by_rows(ArrayView<double, 2>::of(input)), input), row.k);
    }
}

// The window of the reductions that only need their products kept finite: its top is
// DBL_MAX/2^(8 + 2c), 2^c ≥ max(rows, cols); the bottom is the QR window's.
TEST(GateTest, BalancedBelowOverflowWindow) {
    struct Row {
        const char* name;
        std::uint64_t rows, cols;
        std::vector<double> values;
        std::optional<std::int32_t> k;
    };
    const double top2 = std::ldexp(std::numeric_limits<double>::max(), -10);  // two rows or columns
    const double top3 = std::ldexp(std::numeric_limits<double>::max(), -12);  // three or four
    const Row rows[] = {
        {"1e300 beside 1e-300 is not scaled", 2, 2, {1e300, 1e-300, 1, 1}, std::nullopt},
        {"at the top", 2, 1, {top2, 1}, std::nullopt},
        {"just above", 2, 1, {std::nextafter(top2, inf), 1e-300}, 1},
        {"the wider side counts", 1, 3, {top2, 0, 0}, 2},
        {"4e307 in 3 x 3", 3, 3, {4e307, 4e307, 4e307, 4e307, 4e307, 4e307, 4e307, 4e307, 4e307},
         gate::balancing_exponent(4e307, 0.0, top3)},
        {"1e-300 is scaled up as before", 2, 2, {1e-300, 0, 0, 1e-300}, -512},
        {"NaN", 2, 1, {1e308, nan}, std::nullopt},
        {"no rows", 0, 4, {}, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Array<double, 2> input = matrix(row.rows, row.cols, row.values);
        EXPECT_EQ(scaling_of(gate::balanced_below_overflow(ArrayView<double, 2>::of(input)), input), row.k);
        // In place on the caller's buffer: the same k and the same scaled entries.
        std::vector<double> in_place = row.values;
        const auto k = gate::balance_below_overflow(in_place, row.rows, row.cols);
        ASSERT_TRUE(k.has_value());
        EXPECT_EQ(*k, row.k.value_or(0));
        for (std::size_t i = 0; i < in_place.size(); ++i)
            EXPECT_TRUE(in_place[i] == std::scalbn(row.values[i], -*k) || std::isnan(in_place[i])) << i;
    }
}

TEST(GateTest, Restore) {
    std::vector<double> big = {1e100};
    const auto failed = gate::restore(big, 1000);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(display(failed.error()), "Arithmetic overflow in layout calculations: eigenvalue exceeds the scalar range");
    EXPECT_EQ(big[0], inf);  // left multiplied
    std::vector<double> values = {8, 16};
    ASSERT_TRUE(gate::restore(values, -3).has_value());
    EXPECT_EQ(values, (std::vector<double>{1, 2}));
    std::vector<double> entries = {1, nan, 1e300};
    const auto named = gate::restore(entries, 100, "R entry exceeds the scalar range");
    ASSERT_FALSE(named.has_value());
    EXPECT_EQ(display(named.error()), "Arithmetic overflow in layout calculations: R entry exceeds the scalar range");
    EXPECT_EQ(entries[2], std::scalbn(1e300, 100));  // every value is multiplied before the scan
}

TEST(GateTest, RestoreIfScaledLeavesUnscaledValuesUnread) {
    std::vector<double> unscaled = {inf, 1.0};
    EXPECT_TRUE(gate::restore_if_scaled(unscaled, 0, "B entry exceeds the scalar range").has_value());
    EXPECT_EQ(unscaled, (std::vector<double>{inf, 1.0}));
    // k = 0 through restore itself is still a range check.
    const auto checked = gate::restore(unscaled, 0, "B entry exceeds the scalar range");
    ASSERT_FALSE(checked.has_value());
    EXPECT_EQ(display(checked.error()), "Arithmetic overflow in layout calculations: B entry exceeds the scalar range");
    std::vector<double> scaled = {3, 1e300};
    const auto failed = gate::restore_if_scaled(scaled, 30, "B entry exceeds the scalar range");
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(display(failed.error()), "Arithmetic overflow in layout calculations: B entry exceeds the scalar range");
    EXPECT_EQ(scaled[0], 0x3p30);
}

TEST(GateTest, BalanceInPlaceScalesIntoTheCallersWindow) {
    const gate::Window window{0.5, 4.0, 0.0};
    std::vector<double> big = {-40, 3, 0};
    const auto k = gate::balance_in_place(big, 40, window);
    ASSERT_TRUE(k.has_value());
    EXPECT_EQ(*k, 4);
    EXPECT_EQ(big, (std::vector<double>{-2.5, 0.1875, 0}));
    std::vector<double> inside = {1, -4};
    ASSERT_EQ(gate::balance_in_place(inside, 4, window), 0);
    EXPECT_EQ(inside, (std::vector<double>{1, -4}));
    std::vector<double> tiny = {0.125};
    ASSERT_EQ(gate::balance_in_place(tiny, 0.125, window), -2);
    EXPECT_EQ(tiny[0], 0.5);
    // An empty window fails before any entry is scaled.
    std::vector<double> untouched = {40};
    const auto empty = gate::balance_in_place(untouched, 40, {4.0, 0.5, 0.0});
    ASSERT_FALSE(empty.has_value());
    EXPECT_EQ(display(empty.error()), std::string("Arithmetic overflow in layout calculations: ") + gate::order_exceeds_range);
    EXPECT_EQ(untouched[0], 40);
}

// The computation sees the scaled copy, and its result comes back through restore with k.
TEST(GateTest, SolveScaledComputesOnTheOperandAndRestoresWithK) {
    const Array<double, 2> input = matrix(2, 2, {1e300, 0, 0, 1});
    const ArrayView<double, 2> view = ArrayView<double, 2>::of(input);
    const auto outcome = gate::balanced_by_rows(view);
    const double unit = std::scalbn(1.0, -486);
    std::vector<double> seen;
    std::int32_t restored_with = 0;
    const auto r = gate::solve_scaled(
        view, outcome,
        [&](const ArrayView<double, 2>& m) -> kavrel::domain::error::Result<std::vector<double>> {
            seen.assign(m.ptr, m.ptr + m.len);
            return std::vector<double>{m.ptr[0], m.ptr[3]};
        },
        [&](std::vector<double>& values, std::int32_t k) {
            restored_with = k;
            return gate::restore(values, k, gate::r_entry_out_of_range);
        });
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(seen, (std::vector<double>{std::scalbn(1e300, -486), 0, 0, unit}));
    EXPECT_EQ(restored_with, 486);
    EXPECT_EQ(*r, (std::vector<double>{1e300, 1}));
    // Nothing to scale: the input itself, and restore still runs, with k = 0.
    const Array<double, 2> plain = matrix(1, 2, {2, 3});
    restored_with = -1;
    const double* operand = nullptr;
    const auto unscaled = gate::solve_scaled(
        ArrayView<double, 2>::of(plain), gate::balanced_by_rows(ArrayView<double, 2>::of(plain)),
        [&](const ArrayView<double, 2>& m) -> kavrel::domain::error::Result<int> {
            operand = m.ptr;
            return 5;
        },
        [&](int&, std::int32_t k) -> kavrel::domain::error::Result<void> {
            restored_with = k;
            return {};
        });
    ASSERT_TRUE(unscaled.has_value());
    EXPECT_EQ(operand, plain.data());
    EXPECT_EQ(restored_with, 0);
}

// A gate error comes before the computation, a computation's error before restoring, and
// restore's own error is the result.
TEST(GateTest, SolveScaledReturnsTheFirstError) {
    int computed = 0, restored = 0;
    const auto compute = [&]() -> kavrel::domain::error::Result<std::vector<double>> {
        ++computed;
        return std::vector<double>{1e300};
    };
    const auto restore = [&](std::vector<double>& values, std::int32_t k) {
        ++restored;
        return gate::restore(values, k, gate::r_entry_out_of_range);
    };
    const auto gate_failed = gate::solve_scaled(kavrel::domain::error::overflow(gate::order_exceeds_range), compute, restore);
    ASSERT_FALSE(gate_failed.has_value());
    EXPECT_EQ(display(gate_failed.error()), std::string("Arithmetic overflow in layout calculations: ") + gate::order_exceeds_range);
    EXPECT_EQ(computed + restored, 0);

    const auto compute_failed = gate::solve_scaled(
        3, [&]() -> kavrel::domain::error::Result<std::vector<double>> { return kavrel::domain::error::storage_error("no"); },
        restore);
    ASSERT_FALSE(compute_failed.has_value());
    EXPECT_EQ(display(compute_failed.error()), "Storage error: no");
    EXPECT_EQ(restored, 0);

    const auto restore_failed = gate::solve_scaled(100, compute, restore);
    ASSERT_FALSE(restore_failed.has_value());
    EXPECT_EQ(display(restore_failed.error()), "Arithmetic overflow in layout calculations: R entry exceeds the scalar range");
    EXPECT_EQ(computed, 1);
    EXPECT_EQ(restored, 1);
}

// --- Scales of the factorisations whose updates may overflow -------------------------------

TEST(GateTest, RangeStepsStartUnscaledAndLeaveEverMoreRoom) {
    struct Case {
        const char* name;
        double amax;
        std::uint64_t order;
        std::vector<std::int32_t> k;
    };
    const double dbl_max = std::numeric_limits<double>::max();
    const Case cases[] = {
        {"below 2: nothing to gain", 1.5, 5, {0}},
        {"subnormal", 1e-310, 2, {0}},
        // 1e300 (2^996.6) has room for 2^6, 2^12 and 2^24 times itself with n = 4: the first scale
        // leaves 2^48 (k = 21), then the room doubles up to the unit scale 996.
        {"roomy", 1e300, 4, {0, 21, 69, 165, 357, 741, 996}},
        // 2^1023·1.9 with n = 4: amax·2^-k ≤ DBL_MAX/2^6 from k = 6 on, the room doubling to 768,
        // then [1, 2) at 1023.
        {"largest magnitudes", std::ldexp(1.9, 1023), 4, {0, 6, 12, 24, 48, 96, 192, 384, 768, 1023}},
        // DBL_MAX/2 with n = 1000 (room 2^14): k = 13, the room doubling to 896, then 1022.
        {"order 1000", dbl_max / 2, 1000, {0, 13, 27, 55, 111, 223, 447, 895, 1022}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const gate::RangeSteps steps = gate::range_steps(c.amax, c.order);
        EXPECT_EQ(std::vector<std::int32_t>(steps.k.begin(), steps.k.begin() + static_cast<std::ptrdiff_t>(steps.count)), c.k);
    }
}

// An attempt that factors from scale `least` on and forms a non-finite value below it.
struct Threshold {
    std::int32_t least;
    std::vector<std::int32_t> seen;

    gate::Attempt<int> operator()(std::int32_t k) {
        seen.push_back(k);
        if (k >= least) return {k, true};
        return {kavrel::domain::error::overflow("out of range"), false};
    }
};

TEST(GateTest, FactorInRangeNarrowsToTheLeastScaleThatFactors) {
    const double amax = std::ldexp(1.9, 1023);  // steps 0, 6, 12, 24, 48, …, 768, 1023 for n = 4
    struct Case {
        const char* name;
        std::int32_t least;
        std::vector<std::int32_t> seen;
    };
    const Case cases[] = {
        {"unscaled", 0, {0}},
        {"a step itself", 12, {0, 6, 12, 9, 10, 11}},
        // 24 factors, 12 did not: 18, 15, 16 narrow it to 16.
        {"between two steps", 16, {0, 6, 12, 24, 18, 15, 16}},
        {"only the unit scale", 1000, {0, 6, 12, 24, 48, 96, 192, 384, 768, 1023, 895, 959, 991, 1007, 999, 1003, 1001, 1000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Threshold attempt{c.least, {}};
        const auto r = gate::factor_in_range<int>(amax, 4, attempt);
        ASSERT_TRUE(r);
        EXPECT_EQ(*r, c.least);
        EXPECT_EQ(attempt.seen, c.seen);
    }
    // Nothing factors: the outcome of the largest scale stands, without another attempt.
    Threshold never{2000, {}};
    const auto r = gate::factor_in_range<int>(amax, 4, never);
    ASSERT_FALSE(r);
    EXPECT_EQ(kavrel::domain::error::display(r.error()), "Arithmetic overflow in layout calculations: out of range");
    EXPECT_EQ(never.seen, (std::vector<std::int32_t>{0, 6, 12, 24, 48, 96, 192, 384, 768, 1023}));
    // An error is narrowed down like a factorisation: a scale far enough to turn small entries into
    // zeros fails with a zero pivot (from 20 on), the least scale that keeps the values in range
    // (14) factors.
    std::vector<std::int32_t> tried;
    const auto narrowed = gate::factor_in_range<int>(amax, 4, [&](std::int32_t k) -> gate::Attempt<int> {
        tried.push_back(k);
        if (k < 14) return {kavrel::domain::error::overflow("out of range"), false};
        if (k >= 20) return {kavrel::domain::error::storage_error("zero pivot"), true};
        return {k, true};
    });
    ASSERT_TRUE(narrowed);
    EXPECT_EQ(*narrowed, 14);
    EXPECT_EQ(tried, (std::vector<std::int32_t>{0, 6, 12, 24, 18, 15, 13, 14}));
}

// No scale beyond the limit that keeps every entry exact: the limit comes last where it stops the
// steps short, and a limit of 0 leaves the unscaled attempt alone, whose outcome then stands.
TEST(GateTest, ScalesStopAtTheExactLimit) {
    const double amax = std::ldexp(1.9, 1023);
    const auto steps_of = [](const gate::RangeSteps& s) {
        return std::vector<std::int32_t>(s.k.begin(), s.k.begin() + static_cast<std::ptrdiff_t>(s.count));
    };
    EXPECT_EQ(steps_of(gate::range_steps(amax, 4, 30)), (std::vector<std::int32_t>{0, 6, 12, 24, 30}));
    EXPECT_EQ(steps_of(gate::range_steps(amax, 4, 24)), (std::vector<std::int32_t>{0, 6, 12, 24}));
    EXPECT_EQ(steps_of(gate::range_steps(amax, 4, 0)), (std::vector<std::int32_t>{0}));
    Threshold attempt{16, {}};
    const auto r = gate::factor_in_range<int>(amax, 4, attempt, [] { return 10; });
    ASSERT_FALSE(r);
    EXPECT_EQ(attempt.seen, (std::vector<std::int32_t>{0, 6, 10}));
}

}  // namespace
