#include "kavrel_ops/application/linalg/schur/francis.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support/eigen.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/hessenberg/reduce.hpp"
#include "kavrel_ops/application/linalg/working.hpp"

namespace {

namespace francis = kavrel_ops::application::linalg::schur::francis;
namespace reduce = kavrel_ops::application::linalg::hessenberg::reduce;
namespace working = kavrel_ops::application::linalg::working;
using kavrel::domain::error::display;

// After the iteration no two consecutive subdiagonal entries are non-zero (blocks are at most 2×2).
testing::AssertionResult quasi_triangular(const std::vector<double>& t, std::uint64_t n) {
    if (auto h = eigen_test::upper_hessenberg(t, n); !h) return h;
    for (std::uint64_t i = 1; i + 1 < n; ++i)
        if (t[i * n + i - 1] != 0.0 && t[(i + 1) * n + i] != 0.0)
            return testing::AssertionFailure() << "consecutive subdiagonal entries at row " << i;
    return testing::AssertionSuccess();
}

TEST(FrancisTest, WholeMatrixKeepsTheSimilarity) {
    for (std::uint64_t n : {3, 4, 10, 60, 140}) {
        SCOPED_TRACE(n);
        const auto a = eigen_test::random_square(n, 31);
        std::vector<double> t = a.data, q = working::identity(n);
        reduce::reduce(t, n, q);
        ASSERT_TRUE(francis::iterate(t, n, q, francis::Scope::whole_matrix).has_value());
        EXPECT_TRUE(quasi_triangular(t, n));
        EXPECT_LE(eigen_test::similarity_residual(a, q, t), 8.0 * n * eigen_test::eps);
        EXPECT_LE(qr_test::orthogonality_error(q, n), 8.0 * n * eigen_test::eps);
    }
}

// Inside the active window the eigenvalue run computes what the whole-matrix run computes, so the
// diagonal blocks come out bit for bit the same. (Up to 31 columns both runs take the column loop
// of the left application; wider whole-matrix rows go through the FMA kernel and differ in bits.)
TEST(FrancisTest, ActiveWindowGivesTheSameDiagonalBlocks) {
    for (std::uint64_t n : {5, 12, 31}) {
        SCOPED_TRACE(n);
        const auto a = eigen_test::random_square(n, 41);
        std::vector<double> whole = a.data, window = a.data, q = working::identity(n);
        reduce::reduce(whole, n, q);
        reduce::reduce(window, n, {});
        ASSERT_TRUE(francis::iterate(whole, n, q, francis::Scope::whole_matrix).has_value());
        ASSERT_TRUE(francis::iterate(window, n, {}, francis::Scope::active_window).has_value());
        for (std::uint64_t i = 0; i < n; ++i) {
            EXPECT_EQ(whole[i * n + i], window[i * n + i]) << i;
            if (i > 0) EXPECT_EQ(whole[i * n + i - 1], window[i * n + i - 1]) << i;
            if (i + 1 < n && whole[(i + 1) * n + i] != 0.0) EXPECT_EQ(whole[i * n + i + 1], window[i * n + i + 1]) << i;
        }
    }
}

TEST(FrancisTest, SpecialMatrices) {
    // Upper triangular: only deflations, nothing changes.
    std::vector<double> tri = {1, 2, 3, 0, 4, 5, 0, 0, 6}, q = working::identity(3);
    ASSERT_TRUE(francis::iterate(tri, 3, q, francis::Scope::whole_matrix).has_value());
    EXPECT_EQ(tri, (std::vector<double>{1, 2, 3, 0, 4, 5, 0, 0, 6}));
    EXPECT_EQ(q, working::identity(3));
    // The zero matrix: every subdiagonal entry is at the floor.
    std::vector<double> zero(16, 0.0);
    ASSERT_TRUE(francis::iterate(zero, 4, {}, francis::Scope::active_window).has_value());
    EXPECT_EQ(zero, std::vector<double>(16, 0.0));
    // The cyclic permutation: the standard shifts stall, the exceptional shift of sweep 10 breaks
    // the cycle, and a 2×2 block for −1/2 ± i·√3/2 and the eigenvalue 1 remain.
    std::vector<double> cyc = {0, 0, 1, 1, 0, 0, 0, 1, 0};
    const eigen_test::Matrix a = eigen_test::square(3, cyc);
    std::vector<double> qc = working::identity(3);
    reduce::reduce(cyc, 3, qc);
    ASSERT_TRUE(francis::iterate(cyc, 3, qc, francis::Scope::whole_matrix).has_value());
    EXPECT_TRUE(quasi_triangular(cyc, 3));
    EXPECT_NE(cyc[3], 0.0);
    EXPECT_EQ(cyc[7], 0.0);
    EXPECT_NEAR(cyc[8], 1.0, 1e-15);
    EXPECT_NEAR(cyc[0] + cyc[4], -1.0, 1e-15);
    EXPECT_LE(eigen_test::similarity_residual(a, qc, cyc), 1e-15);
}

// A window that never deflates (a NaN subdiagonal fails every test) stops after its budget.
TEST(FrancisTest, BudgetAndConvergenceText) {
    struct Row {
        std::uint64_t n;
        const char* text;
    };
    const Row rows[] = {
        {3, "Solver did not converge after 300 iterations (residual inf, tolerance 2.220446049250313e-16)"},
        {50, "Solver did not converge after 1500 iterations (residual inf, tolerance 2.220446049250313e-16)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.n);
        EXPECT_EQ(francis::sweep_budget(row.n), row.n <= 10 ? 300u : 30 * row.n);
        std::vector<double> t(row.n * row.n, 0.0);
        for (std::uint64_t i = 1; i < row.n; ++i) t[i * row.n + i - 1] = std::numeric_limits<double>::quiet_NaN();
        const auto r = francis::iterate(t, row.n, {}, francis::Scope::active_window);
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(display(r.error()), row.text);
    }
}

TEST(FrancisTest, SmallestRelativeSubdiagonal) {
    // Subdiagonal 1 and 0.5 on a 3×3 with diagonal 1, 2, 3.
    const std::vector<double> t = {1, 0, 0, 1, 2, 0, 0, 0.5, 3};
    const double r1 = 1.0 / ((2.0 + 1.0) + (0.0 + 0.5)), r2 = 0.5 / ((3.0 + 2.0) + (1.0 + 0.0));
    EXPECT_EQ(francis::smallest_relative_subdiagonal(t, 3, 0, 2), std::min(r1, r2));
    EXPECT_EQ(francis::smallest_relative_subdiagonal(t, 3, 0, 1), r1);
    EXPECT_EQ(francis::smallest_relative_subdiagonal(t, 3, 1, 2), r2);
}

}  // namespace
