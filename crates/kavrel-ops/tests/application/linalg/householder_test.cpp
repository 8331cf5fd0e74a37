#include "kavrel_ops/application/linalg/householder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "kavrel/domain/error/error.hpp"

namespace {

using kavrel::domain::error::InternalError;
using kavrel_ops::application::linalg::householder::apply_left;
using kavrel_ops::application::linalg::householder::apply_right;
using kavrel_ops::application::linalg::householder::HouseholderReflector;
using kavrel_ops::application::linalg::householder::reflector;

constexpr double eps = 0x1p-52;

// The dense n×n matrix I − tau·v·vᵀ.
std::vector<double> dense(const HouseholderReflector& r) {
    const std::size_t n = r.v.size();
    std::vector<double> h(n * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) h[i * n + j] = (i == j ? 1.0 : 0.0) - r.tau * r.v[i] * r.v[j];
    return h;
}

TEST(HouseholderTest, WorkedExamples) {
    struct Row {
        std::vector<double> x, v;
        double tau, beta;
    };
    const Row rows[] = {
        {{0, 3, 4}, {1.25, 0.75, 1}, 0.64, -5},
        {{-3, 4}, {-2, 1}, 0.4, 5},
        {{1e300, 1e300}, {3.604956296095778, 1.4932217896051503}, 0.13135925584273575, -1.4142135623730952e300},
        {{1e-310, 2e-310}, {1.8615862998717227, 1.1505236063118787}, 0.4176055727078961, -2.2360679774998e-310},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "x[0] " << row.x[0]);
        const auto r = reflector(row.x);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->v, row.v);
        EXPECT_EQ(r->tau, row.tau);
        EXPECT_EQ(r->beta, row.beta);
    }
}

TEST(HouseholderTest, NoReflectorWhenTheTailIsZero) {
    const std::vector<std::vector<double>> absent = {{}, {7}, {5, 0, 0}, {1, -0.0}, {0, 0}, {-0.0, 0, -0.0}};
    for (const auto& x : absent) {
        SCOPED_TRACE(testing::Message() << "length " << x.size());
        EXPECT_FALSE(reflector(x).has_value());
    }
    // A zero leading entry is no reason to skip: beta takes the negative sign.
    const auto r = reflector(std::vector<double>{-0.0, 2});
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->beta, -2.0);
}

// H·x = (beta, 0, …) and HᵀH = I for vectors over the whole exponent range.
TEST(HouseholderTest, ReflectsOntoTheFirstAxisAtEveryScale) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(-1, 1);
    const int exponents[] = {-1070, -1000, -300, -170, 0, 170, 300, 1000};
    for (std::size_t n : {2u, 3u, 17u, 130u}) {
        for (int e : exponents) {
            SCOPED_TRACE(testing::Message() << "n " << n << " exponent " << e);
            std::vector<double> x(n);
            for (double& xi : x) xi = std::ldexp(unit(rng), e);
            const auto r = reflector(x);
            ASSERT_TRUE(r.has_value());
            ASSERT_TRUE(std::isfinite(r->tau) && std::isfinite(r->beta));
            double norm2 = 0;
            for (double xi : x) norm2 += std::ldexp(xi, -e) * std::ldexp(xi, -e);
            const double norm = std::ldexp(std::sqrt(norm2), e);
            const double tiny = static_cast<double>(4 * n) * std::numeric_limits<double>::denorm_min();
            EXPECT_NEAR(std::fabs(r->beta), norm, 4 * n * eps * norm + tiny);
            EXPECT_EQ(std::signbit(r->beta), !std::signbit(x[0]));
            // Apply as a one-column block: column holds x, the result is (beta, ≈0, …).
            std::vector<double> column = x, work;
            apply_left(*r, column, 1, 0, 0, 1, work);
            // Subnormal entries add an absolute rounding of a unit in the last place per operation.
            const double tolerance = 8 * n * eps * norm + tiny;
            EXPECT_NEAR(column[0], r->beta, tolerance);
            for (std::size_t i = 1; i < n; ++i) EXPECT_NEAR(column[i], 0.0, tolerance) << "row " << i;
            const std::vector<double> h = dense(*r);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j) {
                    double dot = 0;
                    for (std::size_t p = 0; p < n; ++p) dot += h[p * n + i] * h[p * n + j];
                    ASSERT_NEAR(dot, i == j ? 1.0 : 0.0, 8 * n * eps) << i << ", " << j;
                }
        }
    }
}

// A matrix with guard values around the block: rows and columns outside it never change, and the
// block becomes H·block (apply_left) or block·H (apply_right).
struct GuardedMatrix {
    std::size_t rows = 9, cols = 8;
    std::vector<double> data;
    GuardedMatrix() : data(rows * cols + 3) {
        std::mt19937_64 rng(11);
        std::uniform_real_distribution<double> unit(-2, 2);
        for (double& d : data) d = unit(rng);
    }
};

TEST(HouseholderTest, ApplyLeftTouchesOnlyItsBlock) {
    const auto r = reflector(std::vector<double>{0.5, -1.0, 2.0, 0.25});
    ASSERT_TRUE(r.has_value());
    GuardedMatrix m;
    const std::vector<double> before = m.data;
    const std::size_t first_row = 3, first_col = 2, end_col = 7, k = r->v.size();
    std::vector<double> work(1, 99.0);
    apply_left(*r, m.data, m.cols, first_row, first_col, end_col, work);
    const std::vector<double> h = dense(*r);
    ASSERT_EQ(work.size(), end_col - first_col);
    for (std::size_t i = 0; i < m.rows; ++i)
        for (std::size_t j = 0; j < m.cols; ++j) {
            const bool inside = i >= first_row && i < first_row + k && j >= first_col && j < end_col;
            if (!inside) {
                EXPECT_EQ(m.data[i * m.cols + j], before[i * m.cols + j]) << i << ", " << j;
                continue;
            }
            double expected = 0;
            for (std::size_t p = 0; p < k; ++p)
                expected += h[(i - first_row) * k + p] * before[(first_row + p) * m.cols + j];
            EXPECT_NEAR(m.data[i * m.cols + j], expected, 32 * eps) << i << ", " << j;
        }
    for (std::size_t t = m.rows * m.cols; t < m.data.size(); ++t) EXPECT_EQ(m.data[t], before[t]);
    // work holds tau·vᵀ·block of the block as it was.
    for (std::size_t j = 0; j < work.size(); ++j) {
        double expected = 0;
        for (std::size_t p = 0; p < k; ++p) expected += r->v[p] * before[(first_row + p) * m.cols + first_col + j];
        EXPECT_NEAR(work[j], r->tau * expected, 32 * eps);
    }
}

TEST(HouseholderTest, ApplyLeftOnAnEmptyColumnRangeChangesNothing) {
    const auto r = reflector(std::vector<double>{0, 3, 4});
    ASSERT_TRUE(r.has_value());
    GuardedMatrix m;
    const std::vector<double> before = m.data;
    std::vector<double> work = {1.0, 2.0};
    apply_left(*r, m.data, m.cols, 1, 4, 4, work);
    apply_left(*r, m.data, m.cols, 1, 5, 4, work);
    EXPECT_EQ(m.data, before);
    EXPECT_EQ(work, (std::vector<double>{1.0, 2.0}));
}

TEST(HouseholderTest, ApplyRightTouchesOnlyItsBlock) {
    const auto r = reflector(std::vector<double>{-1.5, 0.5, 3.0});
    ASSERT_TRUE(r.has_value());
    GuardedMatrix m;
    const std::vector<double> before = m.data;
    const std::size_t first_row = 2, end_row = 8, first_col = 4, k = r->v.size();
    apply_right(*r, m.data, m.cols, first_row, end_row, first_col);
    const std::vector<double> h = dense(*r);
    for (std::size_t i = 0; i < m.rows; ++i)
        for (std::size_t j = 0; j < m.cols; ++j) {
            const bool inside = i >= first_row && i < end_row && j >= first_col && j < first_col + k;
            if (!inside) {
                EXPECT_EQ(m.data[i * m.cols + j], before[i * m.cols + j]) << i << ", " << j;
                continue;
            }
            double expected = 0;
            for (std::size_t p = 0; p < k; ++p)
                expected += before[i * m.cols + first_col + p] * h[p * k + (j - first_col)];
            EXPECT_NEAR(m.data[i * m.cols + j], expected, 32 * eps) << i << ", " << j;
        }
}

TEST(HouseholderTest, BlocksOutsideTheMatrixAreInternalErrors) {
    const auto r = reflector(std::vector<double>{1, 1, 1});
    ASSERT_TRUE(r.has_value());
    std::vector<double> data(12), work;
    EXPECT_THROW(apply_left(*r, data, 4, 2, 0, 4, work), InternalError);   // rows 2..4 of 3
    EXPECT_THROW(apply_left(*r, data, 4, 0, 2, 5, work), InternalError);   // last row runs past the end
    EXPECT_THROW(apply_right(*r, data, 4, 0, 3, 2), InternalError);        // columns 2..4 of the last row
    EXPECT_NO_THROW(apply_left(*r, data, 4, 0, 1, 4, work));
    EXPECT_NO_THROW(apply_right(*r, data, 4, 0, 3, 1));
}

}  // namespace
