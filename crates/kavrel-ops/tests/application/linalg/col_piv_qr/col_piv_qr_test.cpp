#include "kavrel_ops/application/linalg/col_piv_qr/decompose.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "support/qr.hpp"

namespace {

using namespace qr_test;
using kavrel::domain::error::display;
using kavrel_ops::application::linalg::col_piv_qr::decompose::column_norms;
using kavrel_ops::application::linalg::col_piv_qr::decompose::ColPivQrDecomposition;
using kavrel_ops::application::linalg::col_piv_qr::decompose::factor;
using kavrel_ops::application::linalg::col_piv_qr::decompose::factor_balanced;
using linalg_test::times_power_of_two;

ColPivQrDecomposition factor_of(const Matrix& m) {
    const Array<double, 2> a = m.array();
    auto result = factor(ArrayView<double, 2>::of(a));
    EXPECT_TRUE(result.has_value()) << display(result.error());
    return std::move(*result);
}

void expect_near_all(const std::vector<double>& actual, const std::vector<double>& expected, double tolerance) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << "entry " << i;
}

TEST(ColPivQrTest, ColumnNorms) {
    const std::vector<double> a = {1, -2, 3, 4, 0.5, -6};  // 2×3
    EXPECT_EQ(column_norms(a, 2, 3), (std::vector<double>{17, 4.25, 45}));
    EXPECT_EQ(column_norms({}, 0, 3), (std::vector<double>{0, 0, 0}));
    EXPECT_TRUE(column_norms({}, 4, 0).empty());
}

TEST(ColPivQrTest, TiesKeepTheFirstColumn) {
    const ColPivQrDecomposition d = factor_of({2, 2, {3, 4, 4, 3}});
    EXPECT_EQ(d.perm, (std::vector<std::uint64_t>{0, 1}));
    EXPECT_EQ(d.rank, 2u);
    expect_near_all(d.r, {-5, -4.8, 0, -1.4}, 8 * eps);
    expect_near_all(d.q, {-0.6, -0.8, -0.8, 0.6}, 8 * eps);
}

TEST(ColPivQrTest, LargerColumnGoesFirst) {
    const Matrix a{2, 2, {1, 3, 0, 4}};
    const ColPivQrDecomposition d = factor_of(a);
    EXPECT_EQ(d.perm, (std::vector<std::uint64_t>{1, 0}));
    EXPECT_EQ(d.r[0], -5.0);
    EXPECT_LT(relative_residual(a, d.q, d.r, d.perm), 4 * eps);
}

TEST(ColPivQrTest, EarlyStopLeavesTheRestUnreduced) {
    // Step 0 needs no reflector, step 1 stops: 1e-13 is below 1e-12 of the largest column norm.
    const Matrix a{2, 2, {1, 0, 0, 1e-13}};
    const ColPivQrDecomposition d = factor_of(a);
    EXPECT_EQ(d.rank, 1u);
    EXPECT_EQ(d.q, linalg_test::identity(2).data);
    EXPECT_EQ(d.r, a.data);
    EXPECT_EQ(d.perm, (std::vector<std::uint64_t>{0, 1}));
    const ColPivQrDecomposition zero = factor_of({3, 2, std::vector<double>(6, 0.0)});
    EXPECT_EQ(zero.rank, 0u);
    EXPECT_EQ(zero.q, linalg_test::identity(3).data);
    EXPECT_EQ(zero.r, std::vector<double>(6, 0.0));
    EXPECT_EQ(zero.perm, (std::vector<std::uint64_t>{0, 1}));
}

TEST(ColPivQrTest, EmptyShapes) {
    const ColPivQrDecomposition tall_empty = factor_of({3, 0, {}});
    EXPECT_EQ(tall_empty.q, linalg_test::identity(3).data);
    EXPECT_TRUE(tall_empty.r.empty());
    EXPECT_TRUE(tall_empty.perm.empty());
    const ColPivQrDecomposition wide_empty = factor_of({0, 4, {}});
    EXPECT_TRUE(wide_empty.q.empty());
    EXPECT_TRUE(wide_empty.r.empty());
    EXPECT_EQ(wide_empty.perm, (std::vector<std::uint64_t>{0, 1, 2, 3}));
    EXPECT_EQ(wide_empty.rows, 0u);
    EXPECT_EQ(wide_empty.cols, 4u);
}

TEST(ColPivQrTest, NonFiniteInput) {
    for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
        const Array<double, 2> a = Matrix{2, 3, {1, 2, 3, 4, bad, 6}}.array();
        const auto result = factor(ArrayView<double, 2>::of(a));
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(display(result.error()), "Storage error: ColPivQR input contains a non-finite value");
    }
}

// Column 1 almost repeats row 0's entry: its downdated norm 1 + δ² − 1 keeps only a few digits and
// comes out below ε², which would pick column 2 next. The exact recomputation picks column 1.
TEST(ColPivQrTest, DowndatedNormsAreRecomputedAfterCancellation) {
    const double delta = 1.013e-6, epsilon = std::sqrt(1.0261e-12);
    ASSERT_LT(std::max((1.0 + delta * delta) - 1.0, 0.0), epsilon * epsilon);
    ASSERT_GT(delta * delta, epsilon * epsilon);
    const Matrix a{3, 3, {2, 1, 0, 0, delta, 0, 0, 0, epsilon}};
    const ColPivQrDecomposition d = factor_of(a);
    EXPECT_EQ(d.perm, (std::vector<std::uint64_t>{0, 1, 2}));
    EXPECT_EQ(d.rank, 3u);
    EXPECT_LT(relative_residual(a, d.q, d.r, d.perm), 4 * eps);
}

// A·P = Q·R to n·eps·‖A‖, Q orthogonal, R exactly upper triangular with non-increasing |R[k][k]|.
TEST(ColPivQrTest, FactorsEveryShapeAndScale) {
    const std::pair<std::uint64_t, std::uint64_t> shapes[] = {{1, 1}, {1, 5}, {5, 1}, {7, 7}, {40, 13},
                                                             {13, 40}, {64, 64}, {150, 140}};
    for (Kind kind : {Kind::random, Kind::graded, Kind::mixed}) {
        for (auto [m, n] : shapes) {
            SCOPED_TRACE(testing::Message() << name_of(kind) << " " << m << "x" << n);
            const Matrix a = make_matrix(m, n, kind, 1);
            const ColPivQrDecomposition d = factor_of(a);
            const double size = static_cast<double>(std::max(m, n));
            EXPECT_EQ(d.rank, std::min(m, n));
            EXPECT_LT(relative_residual(a, d.q, d.r, d.perm), 4 * size * eps);
            EXPECT_LT(orthogonality_error(d.q, m), 4 * size * eps);
            EXPECT_TRUE(upper_triangular(d.r, m, n));
            std::vector<std::uint64_t> sorted = d.perm;
            std::sort(sorted.begin(), sorted.end());
            std::vector<std::uint64_t> expected(n);
            std::iota(expected.begin(), expected.end(), 0);
            EXPECT_EQ(sorted, expected);
            // Pivots on downdated norms, which may be off by about 2^-26 of their reference value.
            const double noise = 16 * size * eps * static_cast<double>(frobenius(a));
            for (std::uint64_t k = 0; k + 1 < std::min(m, n); ++k)
                EXPECT_LE(std::fabs(d.r[(k + 1) * n + k + 1]), std::fabs(d.r[k * n + k]) * (1 + 1e-6) + noise)
                    << "step " << k;
        }
    }
}

// A matrix of rank r stops after r steps; the residual is then bounded by the stop tolerance.
TEST(ColPivQrTest, RankDeficientStopsAtTheRank) {
    for (auto [m, n, r] : {std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>{30, 20, 7}, {20, 30, 5},
                          {50, 50, 1}, {129, 140, 40}}) {
        SCOPED_TRACE(testing::Message() << m << "x" << n << " rank " << r);
        const Matrix b = make_matrix(m, r, Kind::random, 2), c = make_matrix(r, n, Kind::random, 3);
        Matrix a{m, n, std::vector<double>(m * n, 0.0)};
        for (std::uint64_t i = 0; i < m; ++i)
            for (std::uint64_t p = 0; p < r; ++p)
                for (std::uint64_t j = 0; j < n; ++j) a.data[i * n + j] += b(i, p) * c(p, j);
        const ColPivQrDecomposition d = factor_of(a);
        EXPECT_EQ(d.rank, r);
        EXPECT_LT(relative_residual(a, d.q, d.r, d.perm), 1e-12 * std::sqrt(static_cast<double>(n)));
        EXPECT_LT(orthogonality_error(d.q, m), 4 * static_cast<double>(m) * eps);
        EXPECT_TRUE(upper_triangular(d.r, m, n));
    }
}

// A strided view is read in logical order: the same bits as its row-major copy.
TEST(ColPivQrTest, StridedViewMatchesItsCopy) {
    const Matrix a = make_matrix(9, 6, Kind::random, 4);
    const linalg_test::StridedCopy column_major = linalg_test::strided_copy(a, linalg_test::Placement::column_major);
    const auto strided = factor(column_major.view);
    ASSERT_TRUE(strided.has_value());
    const ColPivQrDecomposition copy = factor_of(a);
    EXPECT_EQ(strided->q, copy.q);
    EXPECT_EQ(strided->r, copy.r);
    EXPECT_EQ(strided->perm, copy.perm);
}

// Inside the gate's window the input is factored as it stands: factor's bits.
TEST(ColPivQrTest, BalancedLeavesOrdinaryInputToFactor) {
    const Matrix a = make_matrix(9, 6, Kind::graded, 6);
    const Array<double, 2> array = a.array();
    const auto balanced = factor_balanced(ArrayView<double, 2>::of(array));
    ASSERT_TRUE(balanced.has_value()) << display(balanced.error());
    const ColPivQrDecomposition plain = factor_of(a);
    EXPECT_EQ(balanced->q, plain.q);
    EXPECT_EQ(balanced->r, plain.r);
    EXPECT_EQ(balanced->perm, plain.perm);
    EXPECT_EQ(balanced->rank, plain.rank);
}

// Near either end of the range a scaled copy is factored: Q, the permutation and the rank are
// those of the matrix at unit scale, and R is its R times the same power of two.
TEST(ColPivQrTest, BalancedFactorsFollowAPowerOfTwoScale) {
    linalg_test::expect_power_of_two_scale(
        make_matrix(7, 5, Kind::random, 5), {1000, 1021, -1000},
        [](const Matrix& m) { return factor_balanced(linalg_test::view_of(m)); },
        [](const ColPivQrDecomposition& d) {
            return linalg_test::ScaledParts{d.r, linalg_test::joined(linalg_test::joined(d.q, d.perm), std::vector{d.rank})};
        });
}

TEST(ColPivQrTest, BalancedErrors) {
    // The column norm √2·1.5e308 has no float64 value once R is scaled back.
    const Array<double, 2> huge = Matrix{2, 1, {1.5e308, 1.5e308}}.array();
    const auto out_of_range = factor_balanced(ArrayView<double, 2>::of(huge));
    ASSERT_FALSE(out_of_range.has_value());
    EXPECT_EQ(display(out_of_range.error()), "Arithmetic overflow in layout calculations: R entry exceeds the scalar range");
    // A non-finite entry is never scaled: factor reports it.
    const Array<double, 2> bad = Matrix{2, 2, {1e308, 1, std::numeric_limits<double>::infinity(), 1}}.array();
    const auto non_finite = factor_balanced(ArrayView<double, 2>::of(bad));
    ASSERT_FALSE(non_finite.has_value());
    EXPECT_EQ(display(non_finite.error()), "Storage error: ColPivQR input contains a non-finite value");
}

}  // namespace
