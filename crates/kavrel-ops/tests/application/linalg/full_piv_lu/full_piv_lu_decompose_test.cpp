#include "kavrel_ops/application/linalg/full_piv_lu/decompose.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include "support/linalg.hpp"
#include "support/scalar.hpp"

namespace {

using namespace linalg_test;
using kavrel_ops::application::linalg::full_piv_lu::FullPivLuDecomposition;
using kavrel_ops::application::linalg::full_piv_lu::decompose::full_piv_lu_decompose;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

std::vector<std::uint64_t> iota(std::size_t n) {
    std::vector<std::uint64_t> v(n);
    std::iota(v.begin(), v.end(), std::uint64_t{0});
    return v;
}

// max |A[row_perm[i], col_perm[j]] − (L[:, :r]·U[:r, :])[i, j]|, r the rank: the remainder
// after an early stop, rounding otherwise.
double max_reconstruction_gap(const Matrix& a, const FullPivLuDecomposition& f) {
    const std::size_t n = f.n, r = f.rank;
    double gap = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            long double s = 0;
            for (std::size_t k = 0; k < std::min({i + 1, j + 1, r}); ++k)
                s += static_cast<long double>(k == i ? 1.0 : f.lu[i * n + k]) * f.lu[k * n + j];
            gap = std::max(gap, std::fabs(a(f.row_perm[i], f.col_perm[j]) - static_cast<double>(s)));
        }
    return gap;
}

TEST(FullPivLuDecomposeTest, ExactSmallCases) {
    struct Case {
        const char* name;
        Matrix a;
        std::vector<double> lu;
        std::vector<std::uint64_t> row_perm, col_perm;
        std::uint64_t rank;
        int sign;
    };
    const Case cases[] = {
        {"empty", Matrix(0, 0), {}, {}, {}, 0, 1},
        {"zero matrix stops at step 0", Matrix(3, 3), std::vector<double>(9), iota(3), iota(3), 0, 1},
        {"pivot at the far corner", Matrix(2, 2, {1, 2, 3, 4}), {4, 3, 0.5, -0.5}, {1, 0}, {1, 0}, 2, 1},
        {"a small entry stays in U", Matrix(2, 2, {1, 0, 0, 1e-13}), {1, 0, 0, 1e-13}, iota(2), iota(2), 1, 1},
        {"exactly at the threshold stops", Matrix(2, 2, {1, 0, 0, 1e-12}), {1, 0, 0, 1e-12}, iota(2), iota(2), 1, 1},
        {"just above the threshold goes on", Matrix(2, 2, {1, 0, 0, 2e-12}), {1, 0, 0, 2e-12}, iota(2), iota(2), 2, 1},
        {"equal magnitudes keep the first entry", Matrix(2, 2, {1, -1, 1, 1}), {1, -1, 1, 2}, iota(2), iota(2), 2, 1},
        {"a column interchange alone", Matrix(2, 2, {1, 5, 0, 1}), {5, 1, 0.2, -0.2}, iota(2), {1, 0}, 2, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = full_piv_lu_decompose(view_of(c.a));
        ASSERT_TRUE(f) << kavrel::domain::error::display(f.error());
        EXPECT_EQ(f->n, c.a.rows);
        EXPECT_EQ(f->lu, c.lu);
        EXPECT_EQ(f->row_perm, c.row_perm);
        EXPECT_EQ(f->col_perm, c.col_perm);
        EXPECT_EQ(f->rank, c.rank);
        EXPECT_EQ(f->sign, c.sign);
    }
}

TEST(FullPivLuDecomposeTest, Failures) {
    struct Case {
        const char* name;
        Matrix a;
        std::string display;
    };
    const std::string non_finite = "Storage error: FullPivLU input contains a non-finite value";
    const Case cases[] = {
        {"2 x 3", Matrix(2, 3), "Shape mismatch: lhs [2, 3], rhs [2, 2]"},
        {"4 x 1", Matrix(4, 1), "Shape mismatch: lhs [4, 1], rhs [4, 4]"},
        {"NaN first", Matrix(3, 3, {nan, 0, 0, 0, 1, 0, 0, 0, 1}), non_finite},
        {"infinity in the middle", Matrix(3, 3, {1, 0, 0, 0, inf, 0, 0, 0, 1}), non_finite},
        {"-infinity last", Matrix(3, 3, {1, 0, 0, 0, 1, 0, 0, 0, -inf}), non_finite},
        {"NaN in a zero matrix", Matrix(2, 2, {0, 0, 0, nan}), non_finite},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = full_piv_lu_decompose(view_of(c.a));
        ASSERT_FALSE(f);
        EXPECT_EQ(kavrel::domain::error::display(f.error()), c.display);
    }
}

// Complete pivoting makes the largest trailing entry the next pivot, so an update that overflows
// is a U entry beyond the range: an error, never an infinite factor. Large entries whose factors
// fit are factored as their scaled-down copy is, U scaled back.
TEST(FullPivLuDecomposeTest, FactorsNearTheTopOfTheRange) {
    auto out = full_piv_lu_decompose(view_of(Matrix(2, 2, {1.7e308, 1.7e308, -1.7e308, 1.7e308})));
    ASSERT_FALSE(out);
    EXPECT_EQ(kavrel::domain::error::display(out.error()),
              "Arithmetic overflow in layout calculations: FullPivLU factor exceeds the scalar range");
    Matrix a = random_matrix(6, 6, 31), small = a;
    for (double& x : a.data) x = std::ldexp(x, 1022);
    for (double& x : small.data) x = std::ldexp(x, 1022 - 60);
    auto f = full_piv_lu_decompose(view_of(a)), g = full_piv_lu_decompose(view_of(small));
    ASSERT_TRUE(f) << kavrel::domain::error::display(f.error());
    ASSERT_TRUE(g);
    EXPECT_EQ(f->row_perm, g->row_perm);
    EXPECT_EQ(f->col_perm, g->col_perm);
    for (std::size_t i = 0; i < 6; ++i)
        for (std::size_t j = 0; j < 6; ++j)
            EXPECT_EQ(f->lu[i * 6 + j], j < i ? g->lu[i * 6 + j] : std::ldexp(g->lu[i * 6 + j], 60)) << i << "," << j;
}

TEST(FullPivLuDecomposeTest, ShapeIsCheckedBeforeAnyElementIsRead) {
    const ArrayView<double, 2> unreadable{nullptr, 2, Layout<2>{{1, 2}, {2, 1}, 0}};
    auto f = full_piv_lu_decompose(unreadable);
    ASSERT_FALSE(f);
    EXPECT_EQ(kavrel::domain::error::display(f.error()), "Shape mismatch: lhs [1, 2], rhs [1, 1]");
}

class FullPivLuPathTest : public scalar_test::ForcedPathTest {};

TEST_P(FullPivLuPathTest, FullRankFactorsReproduceThePermutedMatrix) {
    struct Case {
        const char* name;
        Matrix a;
    };
    const Case cases[] = {{"random 1", random_matrix(1, 1, 1)}, {"random 8", random_matrix(8, 8, 2)},
                          {"random 60", random_matrix(60, 60, 3)}, {"graded 20", graded(20, 4)},
                          {"Hilbert 7", hilbert(7)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto f = full_piv_lu_decompose(view_of(c.a));
        ASSERT_TRUE(f);
        const std::size_t n = c.a.rows;
        EXPECT_EQ(f->rank, n);
        EXPECT_EQ(f->sign, parity(f->row_perm) * parity(f->col_perm));
        EXPECT_LE(max_reconstruction_gap(c.a, *f), static_cast<double>(n) * max_abs(c.a) * eps);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < i; ++j) EXPECT_LE(std::fabs(f->lu[i * n + j]), 1.0);
    }
}

TEST_P(FullPivLuPathTest, RankDeficientStopsAtTheRank) {
    for (std::size_t rank : {1, 3, 10}) {
        SCOPED_TRACE("rank " + std::to_string(rank));
        const std::size_t n = 24;
        const Matrix a = multiply(random_matrix(n, rank, 50 + rank), random_matrix(rank, n, 60 + rank));
        auto f = full_piv_lu_decompose(view_of(a));
        ASSERT_TRUE(f);
        EXPECT_EQ(f->rank, rank);
        // Eliminated part up to rounding; the untouched remainder is at most the threshold.
        EXPECT_LE(max_reconstruction_gap(a, *f), 1e-12 * max_abs(a) + static_cast<double>(n) * max_abs(a) * eps);
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, FullPivLuPathTest, testing::ValuesIn(scalar_test::all_paths),
                         scalar_test::path_param_name);

TEST(FullPivLuDecomposeTest, StridedViewsFactorLikeTheirDenseCopy) {
    const Matrix a = random_matrix(10, 10, 70);
    auto dense = full_piv_lu_decompose(view_of(a));
    ASSERT_TRUE(dense);
    for (Placement p : all_placements) {
        SCOPED_TRACE(name_of(p));
        const StridedCopy copy = strided_copy(a, p);
        auto f = full_piv_lu_decompose(copy.view);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->lu, dense->lu);
        EXPECT_EQ(f->row_perm, dense->row_perm);
        EXPECT_EQ(f->col_perm, dense->col_perm);
    }
}

}  // namespace
