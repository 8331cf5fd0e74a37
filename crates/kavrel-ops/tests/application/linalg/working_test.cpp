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
    const auto no_wide = [](std::span<working::Wide>) { ADD_FAILURE(); };
    const std::vector<double> result = working::solve_unit_columns(
        n, unit, {},
        [&](std::span<double> rhs, std::size_t count) {
            EXPECT_EQ(rhs.size(), count * n);
            counts.push_back(count);
        },
        no_wide);
    EXPECT_EQ(counts, (std::vector<std::size_t>{8, 8, 1}));
    ASSERT_EQ(result.size(), n * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) ASSERT_EQ(result[i * n + j], unit(i, j) ? 1.0 : 0.0) << i << ", " << j;
    EXPECT_TRUE(working::solve_unit_columns(0, unit, {}, [&](std::span<double>, std::size_t) { ADD_FAILURE(); }, no_wide)
                    .empty());
}

// The substitutions of the upper triangular factor [[d0, u], [0, d1]] through an intermediate
// 2^1000 times each product and entry, which overflows from 2^24 on: a solve whose solution is
// finite although one of its values is not, at b's own scale. With u = 0 an overflowing x1 still
// spoils x0 (0·inf), as in any dense substitution.
struct Upper {
    double d0, u, d1;
    int calls = 0;

    void substitute(std::span<double> x, std::size_t count) {
        ++calls;
        for (std::size_t c = 0; c < count; ++c) {
            double* v = x.data() + 2 * c;
            v[1] = (v[1] * 0x1p1000) / (d1 * 0x1p1000);
            v[0] = (v[0] * 0x1p1000 - u * (v[1] * 0x1p1000)) / (d0 * 0x1p1000);
        }
    }
    void wide(std::span<working::Wide> x) const {
        const std::vector<double> f{d0, u, 0.0, d1};
        working::wide_upper_solve(f, 2, x);
    }
};

// x = diag(2^-cols)·y with F·y = diag(2^-rows)·b: ordinary systems take the substitutions alone,
// the others are solved in the unbounded exponent, no power of two rounds b or x, and an entry is
// ±inf only where the solution is.
TEST(WorkingTest, SolveInRange) {
    const double tiny = std::numeric_limits<double>::denorm_min();
    struct Case {
        const char* name;
        Upper f;
        std::vector<double> b;
        std::vector<std::int32_t> rows, cols;
        std::vector<double> want;
        bool ordinary;  // the substitutions' result stands
    };
    const Case cases[] = {
        {"in range", {1, 1, 2}, {3, -1}, {}, {}, {3.5, -0.5}, true},
        {"overflowing intermediate", {1, 0, 1}, {0x1p30, 1}, {}, {}, {0x1p30, 1}, false},
        {"overflow beside an entry at the bottom of the range", {1, 0, 1}, {0x1p30, 3 * tiny}, {}, {}, {0x1p30, 3 * tiny},
         false},
        {"overflowing product, finite solution", {1, 0x1p990, 1}, {0, 0x1p30}, {}, {}, {-0x1p1020, 0x1p30}, false},
        {"the solution itself beyond the range", {1, 0, 0.25}, {1, 0x1p1023}, {}, {}, {1, inf}, false},
        // x0 = 2^-100/3 does not depend on x1, beyond the range, although the substitution's 0·inf
        // makes it NaN.
        {"zero coupling to an entry beyond the range", {3, 0, 0x1p-1000}, {0x1p-100, 1e300}, {}, {}, {0x1p-100 / 3, inf},
         false},
        {"column scales", {1, 0, 3}, {4, 6}, {}, {2, -1}, {1, 4}, true},
        {"column scales and an overflowing intermediate", {1, 0x1p990, 1}, {0, 0x1p30}, {}, {0, 3}, {-0x1p1020, 0x1p27},
         false},
        // 2^-1030/3 from its float64 value, rounded to the subnormal grid as the unbounded
        // exponent would round it.
        {"column scale below the range", {1, 0, 3}, {1, 0x1p-1000}, {}, {0, 30}, {1, std::ldexp(0x1p-1000 / 3, -30)},
         true},
        {"row scales", {1, 0, 1}, {1, 1}, {5, 0}, {}, {0x1p-5, 1}, false},
        // b0·2^-5 = 2^-1079 is no float64, but x0 = 2^-1079 rounds to 0 only once.
        {"row scale below the range", {1, 0, 1}, {tiny, 1}, {5, 0}, {}, {0, 1}, false},
        {"right-hand side beyond the range", {1, 0, 1}, {inf, 1}, {}, {}, {inf, 1}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Upper f = c.f;
        // Two copies of the system: the group is solved together, each settled on its own.
        std::vector<double> x(4);
        working::solve_in_range(
            std::span<double>(x), 2, {c.rows, c.cols},
            [&](std::size_t, std::span<double> out) { std::copy(c.b.begin(), c.b.end(), out.begin()); },
            [&](std::span<double> v, std::size_t count) { f.substitute(v, count); },
            [&](std::span<working::Wide> w) { f.wide(w); });
        for (std::size_t copy = 0; copy < 2; ++copy)
            for (std::size_t i = 0; i < 2; ++i) EXPECT_EQ(x[copy * 2 + i], c.want[i]) << copy << ", " << i;
        if (c.ordinary) EXPECT_EQ(f.calls, 1);
    }
}

}  // namespace
