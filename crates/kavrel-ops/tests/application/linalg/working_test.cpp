#include "kavrel_ops/application/linalg/working.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <vector>

#include "support/linalg.hpp"

namespace {

namespace working = kavrel_ops::application::linalg::working;
using kavrel::domain::error::display;
using namespace linalg_test;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(WorkingTest, ShapeTests) {
    EXPECT_EQ(*working::square_order(4, 4), 4u);
    EXPECT_EQ(*working::square_order(0, 0), 0u);
    EXPECT_EQ(display(working::square_order(2, 3).error()), "Shape mismatch: lhs [2, 3], rhs [2, 2]");
    EXPECT_EQ(display(working::square_order(3, 0).error()), "Shape mismatch: lhs [3, 0], rhs [3, 3]");
    EXPECT_TRUE(working::require_tall(3, 2).has_value());
    EXPECT_TRUE(working::require_tall(2, 2).has_value());
    EXPECT_EQ(display(working::require_tall(2, 5).error()), "Shape mismatch: lhs [2, 5], rhs [5, 5]");
}

// A row-major view inside its storage is read where it lies; every other placement is copied
// in logical order, and both give the matrix back element for element.
TEST(WorkingTest, RowMajorElementsAndWorkingCopy) {
    const Matrix a = random_matrix(3, 4, 7);
    std::vector<double> copy;
    const auto in_place = working::row_major_elements(view_of(a), copy);
    EXPECT_EQ(in_place.data(), a.data.data());
    EXPECT_TRUE(copy.empty());
    EXPECT_EQ(working::working_copy(view_of(a)), a.data);
    for (Placement p : all_placements) {
        SCOPED_TRACE(name_of(p));
        const StridedCopy c = strided_copy(a, p);
        const auto run = working::row_major_elements(c.view, copy);
        EXPECT_EQ(std::vector<double>(run.begin(), run.end()), a.data);
        EXPECT_EQ(run.data(), copy.data());
        EXPECT_EQ(working::working_copy(c.view), a.data);
    }
}

TEST(WorkingTest, FiniteScansStopAtTheFirstNonFiniteEntry) {
    const char* text = "test input contains a non-finite value";
    for (double bad : {nan, inf, -inf}) {
        SCOPED_TRACE(bad);
        const std::vector<double> entries = {1, bad, 2};
        EXPECT_EQ(display(working::check_finite(entries, text).error()), std::string("Storage error: ") + text);
        EXPECT_EQ(display(working::finite_max_abs(entries, text).error()), std::string("Storage error: ") + text);
        const Matrix m(1, 3, entries);
        EXPECT_EQ(display(working::finite_working_copy(view_of(m), text).error()), std::string("Storage error: ") + text);
    }
    const std::vector<double> finite = {1, -0.0, -1e308, 2};
    EXPECT_TRUE(working::check_finite(finite, text).has_value());
    EXPECT_EQ(*working::finite_max_abs(finite, text), 1e308);
    EXPECT_EQ(*working::finite_max_abs({}, text), 0.0);
    const Matrix m(2, 2, finite);
    EXPECT_EQ(*working::finite_working_copy(view_of(m), text), finite);
}

TEST(WorkingTest, Identity) {
    EXPECT_EQ(working::identity(2), (std::vector<double>{1, 0, 0, 1}));
    EXPECT_TRUE(working::identity(0).empty());
    EXPECT_EQ(working::identity(5), identity(5).data);
    // Orders whose n·n entries overflow, or exceed what a vector can index, are never allocated.
    EXPECT_THROW((void)working::identity(std::uint64_t{1} << 32), std::bad_alloc);
    EXPECT_THROW((void)working::identity(std::uint64_t{1} << 31), std::bad_alloc);
}

TEST(WorkingTest, SolutionVectorAndElement) {
    const StridedVector b = strided_vector({4, -5, 6}, -2);
    EXPECT_EQ(working::element(b.view, 0), 4);
    EXPECT_EQ(working::element(b.view, 2), 6);
    const auto x = working::solution_vector(3, b.view);
    ASSERT_TRUE(x.has_value());
    EXPECT_EQ(elements(*x), (std::vector<double>{0, 0, 0}));
    const auto mismatch = working::solution_vector(2, b.view);
    ASSERT_FALSE(mismatch.has_value());
    EXPECT_EQ(display(mismatch.error()), "Shape mismatch: lhs [3], rhs [2]");
}

// With a solve that changes nothing the result is the matrix of unit(i, j) itself: columns land
// where they belong across groups of eight, the last group short.
TEST(WorkingTest, SolveUnitColumnsInGroups) {
    const std::size_t n = 17;
    const auto unit = [](std::size_t i, std::size_t j) { return (3 * j + 1) % n == i; };
    std::vector<std::size_t> counts;
    const auto result = working::solve_unit_columns(
        n, unit, {},
        [&](std::span<double> rhs, std::size_t count) {
            EXPECT_EQ(rhs.size(), count * n);
            counts.push_back(count);
        },
        "unused");
    ASSERT_TRUE(result);
    EXPECT_EQ(counts, (std::vector<std::size_t>{8, 8, 1}));
    ASSERT_EQ(result->size(), n * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) ASSERT_EQ((*result)[i * n + j], unit(i, j) ? 1.0 : 0.0) << i << ", " << j;
    const auto none = working::solve_unit_columns(
        0, unit, {}, [&](std::span<double>, std::size_t) { ADD_FAILURE(); }, "unused");
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
}

// The substitutions of the factor diag(d) through an intermediate 2^1000 times the entry, which
// overflows from |b[i]| = 2^24 on: a solve whose solution is finite although one of its values is
// not, at b's own scale.
void diagonal_substitute(std::span<double> x, std::size_t count, const std::vector<double>& d) {
    const std::size_t n = d.size();
    for (std::size_t c = 0; c < count; ++c)
        for (std::size_t i = 0; i < n; ++i) x[c * n + i] = (x[c * n + i] * 0x1p1000) / (d[i] * 0x1p1000);
}

// x = diag(2^-cols)·y with diag(d)·y = diag(2^-rows)·b: no power of two rounds b, entries
// finite at b's own scale keep it, the others come from the least scale of b that keeps them
// finite, inf only where the solution is, and where no exact scale keeps a finite entry finite
// the solve fails.
TEST(WorkingTest, SolveInRange) {
    const double tiny = std::numeric_limits<double>::denorm_min();
    struct Case {
        const char* name;
        std::vector<double> b, d;
        std::vector<std::int32_t> rows, cols;
        std::vector<double> want;  // empty: fails
    };
    const Case cases[] = {
        {"in range", {3, -1}, {1, 2}, {}, {}, {3, -0.5}},
        {"overflowing intermediate", {0x1p30, 1}, {1, 1}, {}, {}, {0x1p30, 1}},
        {"overflow beside a small entry that keeps its bits", {0x1p30, 0x1p-1066}, {1, 1}, {}, {}, {0x1p30, 0x1p-1066}},
        {"no exact scale", {0x1p30, 3 * tiny}, {1, 1}, {}, {}, {}},
        {"exact scales too few", {0x1p30, 3 * 0x1p-1070}, {1, 1}, {}, {}, {}},
        {"the solution itself beyond the range", {0x1p1023, 1}, {0.25, 1}, {}, {}, {inf, 1}},
        {"no exact scale reaches a subnormal entry", {tiny, 0x1p-1000}, {1, 3}, {}, {0, 30},
         {tiny, std::ldexp(0x1p-1000 / 3, -30)}},
        {"right-hand side beyond the range", {inf, 1}, {1, 1}, {}, {}, {inf, 1}},
        // 2^-1030/3, rounded once: the solve that forms it in the subnormal range is the one at
        // s = 30, not a scale of a 53-bit value.
        {"column scale that would round", {1, 0x1p-1000}, {1, 3}, {}, {0, 30}, {1, 0x1p-1030 / 3}},
        {"column scales", {4, 6}, {1, 3}, {}, {2, -1}, {1, 4}},
        {"row scales", {1, 1}, {1, 1}, {5, 0}, {}, {0x1p-5, 1}},
        // b·2^-5 would round tiny: b is scaled up instead, and x0 = 2^-1079 rounds to 0 once.
        {"row scale that b cannot take", {tiny, 1}, {1, 1}, {5, 0}, {}, {0, 1}},
        {"the solution beyond the range, b with few exact scales", {0x1p1023, 0x1p-600}, {0.25, 1}, {}, {},
         {inf, 0x1p-600}},
        // y1 = 2^-1020·1.333… is normal at b's own scale and would lose bits at b·2^-7.
        {"an entry finite at b's own scale keeps it", {0x1p30, 0x1.5555555555555p-1000}, {1, 0x1p20}, {}, {},
         {0x1p30, 0x1.5555555555555p-1020}},
        {"row scales and an overflowing intermediate", {0x1p40, 1}, {1, 1}, {5, 0}, {}, {0x1p35, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t n = c.b.size();
        // Two copies of the system: the group is solved together, each settled on its own.
        std::vector<double> x(2 * n);
        const auto solved = working::solve_in_range(
            std::span<double>(x), 2, {c.rows, c.cols},
            [&](std::size_t, std::span<double> out) { std::copy(c.b.begin(), c.b.end(), out.begin()); },
            [&](std::span<double> v, std::size_t count) { diagonal_substitute(v, count, c.d); }, "test solution out of range");
        if (c.want.empty()) {
            ASSERT_FALSE(solved);
            EXPECT_EQ(display(solved.error()), "Arithmetic overflow in layout calculations: test solution out of range");
            continue;
        }
        ASSERT_TRUE(solved);
        for (std::size_t copy = 0; copy < 2; ++copy)
            for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(x[copy * n + i], c.want[i]) << copy << ", " << i;
    }
}

}  // namespace
