#include "kavrel_ops/application/linalg/lu/solvers.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "linalg_test_support.hpp"
#include "scalar_test_support.hpp"

namespace {

using namespace linalg_test;
using kavrel_ops::application::linalg::lu::solvers::inv;

// ‖A·X − I‖_F / (n·‖A‖_F·‖X‖_F·eps).
double inverse_residual(const Matrix& a, const Matrix& x) {
    const double scale = static_cast<double>(a.rows) * frobenius(a) * frobenius(x) * eps;
    return distance(multiply(a, x).data, identity(a.rows).data) / scale;
}

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

}  // namespace
