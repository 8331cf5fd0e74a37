#include "kavrel_ops/application/linalg/lu/eliminate.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/linalg.hpp"
#include "support/scalar.hpp"

namespace {

using kavrel::domain::error::InternalError;
using kavrel_ops::application::linalg::lu::eliminate::eliminate_below_pivot;
using kavrel_ops::application::linalg::lu::eliminate::lu_eliminate_step;
using linalg_test::storage_text;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct Step {
    std::vector<double> w;
    std::uint64_t n;
    std::vector<std::uint64_t> perm;
    std::int8_t sign = 1;

    Step(std::uint64_t order, std::vector<double> values) : w(std::move(values)), n(order), perm(order) {
        for (std::uint64_t i = 0; i < n; ++i) perm[i] = i;
    }
    auto run(std::uint64_t k, std::uint64_t end) { return lu_eliminate_step(w, n, k, end, perm, sign); }
};

TEST(LuEliminateStepTest, SwapsWholeRowsAndUpdatesOnlyUpToEnd) {
    Step s(4, {9, 9, 9, 9,  //
               0.5, 1, 2, 7,
               0.25, -4, 8, 5,
               0.125, 2, 6, 3});
    ASSERT_TRUE(s.run(1, 3));
    // Row 2 held the largest |w(i, 1)|; the stored multiplier left of k and column 3 past end move
    // with it. Rows below get l = w(i, 1) / −4 and columns 2 .. end − 1 only.
    const std::vector<double> expected = {9, 9, 9, 9,  //
                                          0.25, -4, 8, 5,
                                          0.5, -0.25, 4, 7,
                                          0.125, -0.5, 10, 3};
    EXPECT_EQ(s.w, expected);
    EXPECT_EQ(s.perm, (std::vector<std::uint64_t>{0, 2, 1, 3}));
    EXPECT_EQ(s.sign, -1);
}

TEST(LuEliminateStepTest, PivotChoice) {
    struct Case {
        const char* name;
        std::vector<double> column;  // w(0 .. 2, 0)
        std::uint64_t pivot;
    };
    const Case cases[] = {
        {"equal magnitudes keep the first row", {-3, 3, 3}, 0},
        {"a later tie keeps the earlier row", {1, -2, 2}, 1},
        {"a NaN below row k is never taken", {1, nan, 2}, 2},
        {"a NaN in row k stays the pivot", {nan, 5, 7}, 0},
        {"a subnormal is not zero", {0, 5e-324, -0.0}, 1},
        {"an infinity is the largest", {1, -std::numeric_limits<double>::infinity(), 2}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Step s(3, {c.column[0], 10, 11, c.column[1], 20, 21, c.column[2], 30, 31});
        ASSERT_TRUE(s.run(0, 3));
        EXPECT_EQ(s.perm[0], c.pivot);
        EXPECT_EQ(s.sign, c.pivot == 0 ? 1 : -1);
        // The pivot row's untouched tail shows which row moved up.
        EXPECT_EQ(s.w[1], 10.0 * static_cast<double>(c.pivot + 1));
    }
}

TEST(LuEliminateStepTest, ExactlyZeroColumnFailsAndLeavesEverythingAlone) {
    Step s(3, {7, 1, 2,  //
               0.5, 0.0, 3,
               0.25, -0.0, 4});
    const auto before = s.w;
    auto r = s.run(1, 3);
    ASSERT_FALSE(r);
    EXPECT_EQ(storage_text(r.error()), "LU pivot column 1 is exactly zero: matrix is singular");
    EXPECT_EQ(s.w, before);
    EXPECT_EQ(s.perm, (std::vector<std::uint64_t>{0, 1, 2}));
    EXPECT_EQ(s.sign, 1);
}

// The determinant reads the zero-pivot error as a zero determinant and nothing else so.
TEST(LuEliminateStepTest, ZeroPivotErrorIsRecognisedByItsProducer) {
    namespace err = kavrel::domain::error;
    Step s(2, {0, 1, 0, 2});
    auto r = s.run(0, 2);
    ASSERT_FALSE(r);
    EXPECT_TRUE(kavrel_ops::application::linalg::lu::eliminate::is_zero_pivot(r.error()));
    const err::KavrelError others[] = {
        err::KavrelError(err::StorageError{"LU pivot column  is exactly zero: matrix is singular"}),
        err::KavrelError(err::StorageError{"LU pivot column 1x is exactly zero: matrix is singular"}),
        err::KavrelError(err::StorageError{"Bunch-Kaufman encountered a singular 2x2 pivot"}),
        err::KavrelError(err::StorageError{"matrix is singular"}),
        err::KavrelError(err::InvalidInput{"LU pivot column 1 is exactly zero: matrix is singular"}),
    };
    for (const auto& e : others) EXPECT_FALSE(kavrel_ops::application::linalg::lu::eliminate::is_zero_pivot(e)) << err::display(e);
}

TEST(LuEliminateStepTest, LastColumnOfARangeStoresMultipliersOnly) {
    Step s(3, {2, 5, 6,  //
               1, 7, 8,
               3, 9, 10});
    ASSERT_TRUE(s.run(0, 1));
    // Row 2 is the pivot (|3| > |2|); the others get their multipliers and nothing else.
    const std::vector<double> expected = {3, 9, 10, 1.0 / 3.0, 7, 8, 2.0 / 3.0, 5, 6};
    EXPECT_EQ(s.w, expected);
}

TEST(LuEliminateStepTest, UpdateScalesByZeroMinusTheMultiplier) {
    // l = +0 gives the factor 0.0 − 0.0 = +0, which turns a −0 entry into +0; −l would keep −0.
    Step s(2, {4, 1, 0.0, -0.0});
    ASSERT_TRUE(s.run(0, 2));
    EXPECT_EQ(s.w[3], 0.0);
    EXPECT_FALSE(std::signbit(s.w[3]));
}

TEST(LuEliminateStepTest, RowUpdatesAreFusedPerElement) {
    // w(1, 1) = fma(−l, w(0, 1), w(1, 1)) with one rounding: (1/3)·3 rounds to 1 as a separate
    // product, and the singular [[3, 3], [1, 1]] would reduce to exactly 0 instead of 2^-54.
    const double d = 3.0, x = 3.0, y = 1.0;
    Step s(2, {d, x, 1.0, y});
    ASSERT_TRUE(s.run(0, 2));
    const double l = 1.0 / d;
    const double product = (0.0 - l) * x;
    ASSERT_NE(std::fma(0.0 - l, x, y), product + y);  // the inputs tell the two apart
    EXPECT_EQ(s.w[2], l);
    EXPECT_EQ(s.w[3], std::fma(0.0 - l, x, y));
    EXPECT_EQ(s.w[3], 0x1p-54);
}

class EliminateBelowPivotPathTest : public scalar_test::ForcedPathTest {};

TEST_P(EliminateBelowPivotPathTest, MatchesTheRowByRowDefinition) {
    // Rows below k span several update blocks; columns up to k and from end on are left alone.
    for (auto [n, k, end] : {std::array<std::uint64_t, 3>{130, 0, 130}, {130, 3, 100}, {70, 68, 70}, {5, 1, 2}}) {
        SCOPED_TRACE("n=" + std::to_string(n) + " k=" + std::to_string(k) + " end=" + std::to_string(end));
        std::vector<double> w = linalg_test::random_matrix(n, n, n + k).data;
        std::vector<double> expected = w;
        for (std::uint64_t i = k + 1; i < n; ++i) {
            const double l = expected[i * n + k] / expected[k * n + k];
            expected[i * n + k] = l;
            for (std::uint64_t j = k + 1; j < end; ++j)
                expected[i * n + j] = std::fma(0.0 - l, expected[k * n + j], expected[i * n + j]);
        }
        eliminate_below_pivot(w, n, k, end);
        EXPECT_EQ(w, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, EliminateBelowPivotPathTest, testing::ValuesIn(scalar_test::all_paths),
                         scalar_test::path_param_name);

TEST(LuEliminateStepTest, CallsOutsideTheMatrixAreInternalErrors) {
    Step s(3, std::vector<double>(9, 1.0));
    EXPECT_THROW((void)s.run(1, 1), InternalError);  // k = end
    EXPECT_THROW((void)s.run(0, 4), InternalError);  // end > n
    std::vector<std::uint64_t> short_perm(2);
    EXPECT_THROW((void)lu_eliminate_step(s.w, 3, 0, 3, short_perm, s.sign), InternalError);
    std::vector<double> short_w(8);
    EXPECT_THROW((void)lu_eliminate_step(short_w, 3, 0, 3, s.perm, s.sign), InternalError);
    EXPECT_THROW(eliminate_below_pivot(short_w, 3, 0, 3), InternalError);
    EXPECT_THROW(eliminate_below_pivot(s.w, 3, 2, 2), InternalError);
}

}  // namespace
