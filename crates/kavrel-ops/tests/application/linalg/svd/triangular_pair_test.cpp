#include "kavrel_ops/application/linalg/svd/triangular_pair.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

using kavrel_ops::application::linalg::svd::triangular_pair::triangular_svd;
using kavrel_ops::application::linalg::svd::triangular_pair::TriangularSvd;

constexpr double eps = 0x1p-52;

TEST(TriangularPairTest, WorkedValues) {
    struct Row {
        const char* name;
        double f, g, h;
        TriangularSvd expect;
    };
    const Row rows[] = {
        {"1 2 3", 1, 2, 3,
         {3.6502815398728847, 0.8218544151266947, 0.1601822430069672, 0.9870874576374965, 0.5847102846637648,
          0.8112421851755608}},
        // g = 0: the diagonal sorted by magnitude, both rotations exchanging the coordinates.
        {"1 0 -3", 1, 0, -3, {-3, 1, 0, 1, 0, 1}},
        {"zeros", 0, 0, 0, {0, 0, 1, 0, 1, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const TriangularSvd r = triangular_svd(row.f, row.g, row.h);
        EXPECT_EQ(r.sigma_max, row.expect.sigma_max);
        EXPECT_EQ(r.sigma_min, row.expect.sigma_min);
        EXPECT_EQ(r.cos_right, row.expect.cos_right);
        EXPECT_EQ(r.sin_right, row.expect.sin_right);
        EXPECT_EQ(r.cos_left, row.expect.cos_left);
        EXPECT_EQ(r.sin_left, row.expect.sin_left);
    }
    const TriangularSvd r = triangular_svd(3, 4, 0);
    EXPECT_EQ(r.sigma_max, 5);
    EXPECT_EQ(std::fabs(r.sigma_min), 0);
    // A g so large that fa/ga < 2^-53.
    const TriangularSvd huge = triangular_svd(1, 1e20, 1);
    EXPECT_EQ(std::fabs(huge.sigma_max), 1e20);
    EXPECT_EQ(std::fabs(huge.sigma_min), 1e-20);
}

// L·[[f, g], [0, h]]·Rᵀ = diag(sigma_max, sigma_min) with orthogonal L and R, and |sigma_max| ≥
// |sigma_min|, over random signs, magnitudes and zero patterns.
TEST(TriangularPairTest, DiagonalisesEveryCase) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> unit(-1, 1);
    std::uniform_int_distribution<int> exponent(-40, 40);
    std::uniform_int_distribution<int> zero(0, 5);
    for (int trial = 0; trial < 4000; ++trial) {
        double v[3];
        for (double& x : v) x = zero(rng) == 0 ? 0.0 : std::ldexp(unit(rng), exponent(rng));
        const double f = v[0], g = v[1], h = v[2];
        SCOPED_TRACE(testing::Message() << "f " << f << " g " << g << " h " << h);
        const TriangularSvd r = triangular_svd(f, g, h);
        const double cl = r.cos_left, sl = r.sin_left, cr = r.cos_right, sr = r.sin_right;
        ASSERT_NEAR(cl * cl + sl * sl, 1.0, 4 * eps);
        ASSERT_NEAR(cr * cr + sr * sr, 1.0, 4 * eps);
        // L·M with L = [[cl, sl], [−sl, cl]], then ·Rᵀ with R = [[cr, sr], [−sr, cr]].
        const double lm00 = cl * f, lm01 = cl * g + sl * h, lm10 = -sl * f, lm11 = -sl * g + cl * h;
        const double d00 = lm00 * cr + lm01 * sr, d01 = -lm00 * sr + lm01 * cr;
        const double d10 = lm10 * cr + lm11 * sr, d11 = -lm10 * sr + lm11 * cr;
        const double scale = std::fmax(std::fabs(f), std::fmax(std::fabs(g), std::fabs(h)));
        ASSERT_NEAR(d00, r.sigma_max, 16 * eps * scale);
        ASSERT_NEAR(d11, r.sigma_min, 16 * eps * scale);
        ASSERT_NEAR(d01, 0.0, 16 * eps * scale);
        ASSERT_NEAR(d10, 0.0, 16 * eps * scale);
        ASSERT_GE(std::fabs(r.sigma_max), std::fabs(r.sigma_min));
        // The product of the signed values is the determinant f·h.
        ASSERT_NEAR(r.sigma_max * r.sigma_min, f * h, 16 * eps * std::fabs(r.sigma_max) * std::fabs(r.sigma_min) + 1e-300);
    }
}

}  // namespace
