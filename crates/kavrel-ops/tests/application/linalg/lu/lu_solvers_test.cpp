#include "kavrel_ops/application/linalg/lu/solvers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "kavrel_ops/application/linalg/lu/decompose.hpp"
#include "support/linalg.hpp"
#include "support/scalar.hpp"

namespace {

using namespace linalg_test;
using kavrel_ops::application::linalg::lu::solvers::determinant;
using kavrel_ops::application::linalg::lu::solvers::inv;
using kavrel_ops::application::linalg::lu::solvers::lu_solve;
namespace solvers_detail = kavrel_ops::application::linalg::lu::solvers::detail;

TEST(LuInvTest, ExactSmallInverses) {
    struct Case {
        const char* name;
        Matrix a;
        std::vector<double> inverse;
    };
    const Case cases[] = {
        {"empty", Matrix(0, 0), {}},
        {"one element", Matrix(1, 1, {2}), {0.5}},
        {"interchange", Matrix(2, 2, {0, 1, 1, 0}), {0, 1, 1, 0}},
        {"unit upper", Matrix(2, 2, {1, 2, 0, 1}), {1, -2, 0, 1}},
        {"permuted diagonal", Matrix(3, 3, {0, 4, 0, 0, 0, 8, 2, 0, 0}), {0, 0, 0.5, 0.25, 0, 0, 0, 0.125, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = inv(view_of(c.a));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->layout.shape, (std::array<std::uint64_t, 2>{c.a.rows, c.a.rows}));
        EXPECT_EQ(r->layout.strides, (std::array<std::int64_t, 2>{static_cast<std::int64_t>(c.a.rows), 1}));
        EXPECT_EQ(r->layout.offset, 0u);
        EXPECT_EQ(elements(*r), c.inverse);
    }
}

TEST(LuInvTest, ErrorsOfTheFactorisationPassUnchanged) {
    struct Case {
        const char* name;
        Matrix a;
        std::string display;
    };
    const Case cases[] = {
        {"non-square", Matrix(1, 2, {1, 2}), "Shape mismatch: lhs [1, 2], rhs [1, 1]"},
        {"non-finite", Matrix(2, 2, {1, 2, 3, std::numeric_limits<double>::infinity()}),
         "Storage error: LU input contains a non-finite value"},
        {"singular", Matrix(2, 2, {1, 2, 2, 4}),
         "Storage error: LU pivot column 1 is exactly zero: matrix is singular"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = inv(view_of(c.a));
        ASSERT_FALSE(r);
        EXPECT_EQ(kavrel::domain::error::display(r.error()), c.display);
    }
}

TEST(LuInvTest, NearlySingularGivesLargeEntriesNotAnError) {
    auto r = inv(view_of(Matrix(2, 2, {1, 2, 3, 6})));
    ASSERT_TRUE(r);
    for (double x : elements(*r)) EXPECT_GT(std::fabs(x), 1e14);
}

class LuInvPathTest : public scalar_test::ForcedPathTest {};

TEST_P(LuInvPathTest, ProductWithTheMatrixIsTheIdentity) {
    struct Case {
        const char* name;
        Matrix a;
    };
    const Case cases[] = {{"random 1", random_matrix(1, 1, 5)}, {"random 6", random_matrix(6, 6, 6)},
                          {"random 70", random_matrix(70, 70, 7)}, {"graded 25", graded(25, 8)},
                          {"Hilbert 8", hilbert(8)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = inv(view_of(c.a));
        ASSERT_TRUE(r);
        EXPECT_LE(inverse_residual(c.a, Matrix(c.a.rows, c.a.rows, elements(*r))), 1.0);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, LuInvPathTest, testing::ValuesIn(scalar_test::all_paths),
                         scalar_test::path_param_name);

TEST(LuInvTest, StridedViewsInvertLikeTheirDenseCopy) {
    const Matrix a = random_matrix(9, 9, 12);
    auto dense = inv(view_of(a));
    ASSERT_TRUE(dense);
    for (Placement p : all_placements) {
        SCOPED_TRACE(name_of(p));
        const StridedCopy copy = strided_copy(a, p);
        auto r = inv(copy.view);
        ASSERT_TRUE(r);
        EXPECT_EQ(elements(*r), elements(*dense));
    }
}

// --- lu_solve ------------------------------------------------------------------------------

TEST(LuSolveTest, PermutesTheRightHandSideThenSolves) {
    // The pivot of column 0 is row 1: x = U⁻¹·(L⁻¹·[b1, b0]), here exact.
    const auto x = lu_solve(view_of(Matrix(2, 2, {0, 2, 4, 0})), strided_vector({6, 8}, 1).view);
    ASSERT_TRUE(x);
    EXPECT_EQ(elements(*x), (std::vector<double>{2, 3}));
    const auto empty = lu_solve(view_of(Matrix(0, 0)), strided_vector({}, 1).view);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->len(), 0u);
}

TEST(LuSolveTest, SolutionHasASmallBackwardError) {
    expect_small_backward_errors(
        {random_matrix(1, 1, 5), random_matrix(6, 6, 6), random_matrix(70, 70, 7), graded(25, 8), hilbert(8)}, 41,
        [](const Matrix& a, const ArrayView<double, 1>& b) { return lu_solve(view_of(a), b); });
}

// b is read through its strides: every placement gives the bits of the contiguous b.
TEST(LuSolveTest, StridedRightHandSideSolvesLikeItsCopy) {
    const Matrix a = random_matrix(9, 9, 13);
    expect_strided_rhs_like_copy(random_matrix(9, 1, 14).data, {2, -1, -3},
                                 [&](const ArrayView<double, 1>& b) { return lu_solve(view_of(a), b); });
}

// The factorisation's errors come before the length of b is compared with the order.
TEST(LuSolveTest, ErrorsInOrder) {
    const auto short_b = strided_vector({1}, 1);
    expect_failures({{Matrix(1, 2, {1, 2}), "Shape mismatch: lhs [1, 2], rhs [1, 1]"},
                     {Matrix(2, 2, {1, 2, 2, 4}), "Storage error: LU pivot column 1 is exactly zero: matrix is singular"},
                     {Matrix(2, 2, {1, 2, 3, 4}), "Shape mismatch: lhs [1], rhs [2]"}},
                    [&](const Matrix& a) { return lu_solve(view_of(a), short_b.view); });
}

// --- determinant --------------------------------------------------------------------------

// The plain running product, one rounding per step, as the scaled one must reproduce it.
double plain_product(double sign, const std::vector<double>& d) {
    double p = sign;
    for (double x : d) p = p * x;
    return p;
}

TEST(LuDeterminantTest, ScaledProductIsThePlainOneWhileThatStaysNormal) {
    std::vector<double> d(40);
    for (std::uint64_t seed = 1; seed <= 200; ++seed) {
        const Matrix m = random_matrix(1, d.size(), seed, 3.0);
        for (std::size_t i = 0; i < d.size(); ++i) d[i] = m.data[i] + (m.data[i] < 0 ? -0.5 : 0.5);
        for (double sign : {1.0, -1.0}) {
            const double want = plain_product(sign, d);
            ASSERT_TRUE(std::isnormal(want));
            ASSERT_EQ(solvers_detail::scaled_product(sign, d, d.size(), 1), want) << seed;
        }
    }
}

TEST(LuDeterminantTest, RunningProductLeavesTheRangeOnlyWithTheDeterminant) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        std::vector<double> diagonal;
        double det;
    };
    const Case cases[] = {
        {"large first", {1e200, 1e200, 1e-200, 1e-200}, 1.0},
        {"small first", {1e-200, 1e-200, 1e200, 1e200}, 1.0},
        {"through the subnormals", {1e-300, 1e-300, 1e300, 1e300}, 1.0},
        {"negative pivots", {-1e300, 1e300, -1e-300, -1e-300}, -1.0},
        {"overflows", {1e200, 1e200, 1e-10}, inf},
        {"underflows", {1e-200, 1e-200, 1e10}, 0.0},
        {"to a subnormal", {1e-300, 1e-10, 1.5}, 1.5e-310},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint64_t n = c.diagonal.size();
        Matrix a(n, n);
        for (std::uint64_t i = 0; i < n; ++i) a.data[i * n + i] = c.diagonal[i];
        const auto d = determinant(view_of(a));
        ASSERT_TRUE(d);
        // Diagonal input keeps its order: the pivot of column k is the diagonal entry.
        if (std::isfinite(c.det) && c.det != 0.0) {
            // One rounding at the end for a subnormal result: a few of its units.
            const double unit = std::max(eps * std::fabs(c.det), std::numeric_limits<double>::denorm_min());
            EXPECT_NEAR(*d, c.det, 4 * static_cast<double>(n) * unit);
        } else {
            EXPECT_EQ(*d, c.det);
        }
    }
}

TEST(LuDeterminantTest, ZeroPivotIsZeroAndOtherErrorsPass) {
    const auto singular = determinant(view_of(Matrix(2, 2, {1, 2, 2, 4})));
    ASSERT_TRUE(singular);
    EXPECT_EQ(*singular, 0.0);
    EXPECT_FALSE(std::signbit(*singular));
    const auto empty = determinant(view_of(Matrix(0, 0)));
    ASSERT_TRUE(empty);
    EXPECT_EQ(*empty, 1.0);
    const auto swapped = determinant(view_of(Matrix(2, 2, {0, 1, 1, 0})));
    ASSERT_TRUE(swapped);
    EXPECT_EQ(*swapped, -1.0);
    const std::pair<Matrix, std::string> refused[] = {
        {Matrix(1, 2, {1, 2}), "Shape mismatch: lhs [1, 2], rhs [1, 1]"},
        {Matrix(1, 1, {std::nan("")}), "Storage error: LU input contains a non-finite value"},
    };
    for (const auto& [bad, text] : refused) {
        const auto d = determinant(view_of(bad));
        ASSERT_FALSE(d);
        EXPECT_EQ(kavrel::domain::error::display(d.error()), text);
    }
}

// --- eliminations that overflow ----------------------------------------------------------

// det = 1e308, x = [0, 1e-308, 2] for b = 1: the pivot 1e308 + 1e308 of column 1 overflows.
const Matrix overflowing(3, 3, {1.0, 1e308, 0.0, -1.0, 1e308, 0.0, 0.0, 0.0, 0.5});

TEST(LuOverflowTest, DeterminantOfTheScaledFactors) {
    const auto d = determinant(view_of(overflowing));
    ASSERT_TRUE(d);
    EXPECT_EQ(*d, 1e308);
    // Out of the range only with the determinant itself (8e308), and at a power of two exactly
    // 2^(3·k) times it.
    const auto up = determinant(view_of(Matrix(3, 3, {1.0, 1e308, 0.0, -1.0, 1e308, 0.0, 0.0, 0.0, 4.0})));
    ASSERT_TRUE(up);
    EXPECT_EQ(*up, std::numeric_limits<double>::infinity());
    const auto down = determinant(view_of(times_power_of_two(overflowing, -100)));
    ASSERT_TRUE(down);
    EXPECT_EQ(*down, std::ldexp(1e308, -300));
}

// Only column 1 needs a scale (its pivot 1e308 + 1e308 overflows); the others keep theirs. The
// subnormal x1 = (b0 + b1)/2e308 comes from its float64 value at the factor's scale, here the
// plain division 1/1e308's, also where the right-hand side is at the bottom of the range.
TEST(LuOverflowTest, SolutionEntriesAreFormedAtTheirOwnScale) {
    const auto f = kavrel_ops::application::linalg::lu::decompose::lu_decompose(view_of(overflowing));
    ASSERT_TRUE(f);
    ASSERT_EQ(f->column_exponent.size(), 3u);
    EXPECT_EQ(f->column_exponent[0], 0);
    EXPECT_GT(f->column_exponent[1], 0);
    EXPECT_EQ(f->column_exponent[2], 0);
    EXPECT_TRUE(f->row_exponent.empty());
    const auto x = lu_solve(view_of(overflowing), strided_vector({1.0, 1.0, 1.0}, 1).view);
    ASSERT_TRUE(x);
    EXPECT_EQ(elements(*x)[1], 1.0 / 1e308);
    EXPECT_EQ(elements(*x)[2], 2.0);
    EXPECT_NEAR(elements(*x)[0], 0.0, eps);
    const double odd = 3 * std::numeric_limits<double>::denorm_min();
    const auto y = lu_solve(view_of(overflowing), strided_vector({1.0, odd, 1.0}, 1).view);
    ASSERT_TRUE(y);
    EXPECT_NEAR(elements(*y)[1], (1.0 + odd) * 0.5e-308, 1e-323);
    EXPECT_EQ(elements(*y)[2], 2.0);
}

// A solution near the top of the range beside the overflowing block: formed at its own scale, so
// it stays finite (solved at b's scale it would be x·2^k, past the range).
TEST(LuOverflowTest, SolutionNearTheTopOfTheRangeStaysFinite) {
    Matrix a(4, 4);
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j) a(i, j) = overflowing(i, j);
    a(3, 3) = 1.0;
    const std::vector<double> b{1.0, 3 * std::numeric_limits<double>::denorm_min(), 1.0, 1e308};
    const auto x = lu_solve(view_of(a), strided_vector(b, 1).view);
    ASSERT_TRUE(x);
    const std::vector<double> got = elements(*x);
    EXPECT_EQ(got[3], 1e308);
    EXPECT_EQ(got[2], 2.0);
    EXPECT_NEAR(got[0], 0.5, eps);
    EXPECT_NEAR(got[1], 5e-309, 1e-323);
}

// A scale further than needed would turn 2^-1072 into 0 and the matrix singular: the least one
// that keeps the elimination in range keeps it, and the determinant is 2e308·2^-1072.
TEST(LuOverflowTest, SmallEntriesSurviveTheScale) {
    Matrix a = overflowing;
    a(2, 2) = std::ldexp(1.0, -1072);
    const auto d = determinant(view_of(a));
    ASSERT_TRUE(d);
    EXPECT_EQ(*d, std::ldexp(1e308, -1071));
    const auto x = lu_solve(view_of(a), strided_vector({0.0, 0.0, std::ldexp(1.0, -1072)}, 1).view);
    ASSERT_TRUE(x);
    EXPECT_EQ(elements(*x), (std::vector<double>{0.0, 0.0, 1.0}));
}

TEST(LuOverflowTest, InverseTimesTheMatrixIsTheIdentity) {
    const auto r = inv(view_of(overflowing));
    ASSERT_TRUE(r);
    const std::vector<double> x = elements(*r);
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 3; ++j) {
            double s = 0.0;
            for (std::size_t t = 0; t < 3; ++t) s += overflowing(i, t) * x[t * 3 + j];
            EXPECT_NEAR(s, i == j ? 1.0 : 0.0, 4 * eps) << i << "," << j;
        }
}

}  // namespace
