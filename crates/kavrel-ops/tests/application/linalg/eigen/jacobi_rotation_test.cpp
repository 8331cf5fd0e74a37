#include "kavrel_ops/application/linalg/eigen/rotation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "support/eigen.hpp"
#include "kavrel_ops/application/linalg/eigen.hpp"
#include "kavrel_ops/application/linalg/working.hpp"

namespace {

namespace rotation = kavrel_ops::application::linalg::eigen::rotation;
using kavrel_ops::application::linalg::eigen::frobenius_norm;
using kavrel_ops::application::linalg::working::identity;

constexpr double eps = 0x1p-52;

TEST(JacobiRotationTest, PivotRuleAndTies) {
    // Equal largest entries: the first in row-major scan order of the upper triangle wins.
    const std::vector<double> a = {1, 0.5, -2, 2, 0.5, 1, 0, 0, -2, 0, 1, 0, 2, 0, 0, 1};
    std::vector<double> scratch(4);
    const auto p = rotation::largest_unconverged(a, 4, scratch, 0.0);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->p, 0u);
    EXPECT_EQ(p->q, 2u);
    EXPECT_EQ(p->value, 2.0);
    EXPECT_EQ(scratch, (std::vector<double>{1, 1, 1, 1}));
    // Negligible against the diagonal (x ≤ eps·√|a_pp|·√|a_qq|): skipped, a smaller entry wins.
    const std::vector<double> b = {4, 1e-16, 1e-20, 1e-16, 9, 0, 1e-20, 0, 0};
    std::vector<double> s3(3);
    const auto q = rotation::largest_unconverged(b, 3, s3, 1e-10);
    ASSERT_TRUE(q.has_value());
    EXPECT_EQ(q->p, 0u);
    EXPECT_EQ(q->q, 2u);
    // Nothing left.
    EXPECT_FALSE(rotation::largest_unconverged(std::vector<double>{1, 0, 0, 1}, 2, s3, 0.0).has_value());
    EXPECT_TRUE(rotation::unconverged(1.0, std::nan(""), 1.0, 0.0));
    EXPECT_FALSE(rotation::unconverged(1e-300, std::nan(""), 1.0, 1e-10));
}

TEST(JacobiRotationTest, RotateAnnihilatesAndKeepsSymmetry) {
    std::vector<double> a = {2, 1, 1, 2}, vt = identity(2);
    rotation::rotate(a, vt, 2, 0, 1);
    const double c = 0.7071067811865476, s = 0.7071067811865475;
    EXPECT_EQ(vt, (std::vector<double>{c, -s, s, c}));  // Vᵀ of V = [[c, s], [−s, c]]
    EXPECT_EQ(a[1], 0.0);
    EXPECT_EQ(a[2], 0.0);
    EXPECT_NEAR(a[0], 1.0, 4 * eps);
    EXPECT_NEAR(a[3], 3.0, 4 * eps);
}

// Symmetric test matrices whose pivot searches meet ties, zero and tiny diagonals, and graded
// magnitudes.
std::vector<double> test_matrix(std::uint64_t n, int kind, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(-1, 1);
    std::uniform_int_distribution<int> small(-3, 3);
    std::vector<double> a(n * n);
    for (std::uint64_t i = 0; i < n; ++i)
        for (std::uint64_t j = i; j < n; ++j) {
            double x = unit(rng);
            if (kind == 1) x = small(rng);                                    // many equal magnitudes
            if (kind == 2) x = std::ldexp(x, -static_cast<int>(i + j) * 8);   // graded
            if (kind == 3 && i == j) x = 0.0;                                 // zero diagonal
            a[i * n + j] = a[j * n + i] = x;
        }
    return a;
}

// The per-row cache and the full search, run side by side on the same rotations, choose the
// same pivot (position and value) at every step until both report convergence.
TEST(JacobiRotationTest, CachedPivotsMatchTheFullSearch) {
    for (int kind : {0, 1, 2, 3}) {
        for (std::uint64_t n : {2, 3, 7, 24}) {
            SCOPED_TRACE(testing::Message() << "kind " << kind << " n " << n);
            std::vector<double> a = test_matrix(n, kind, 100 + n), v = identity(n), scratch(n);
            const double tol = eps * frobenius_norm(a);
            rotation::PivotRows index = rotation::index_pivots(a, n, tol);
            std::uint64_t steps = 0;
            for (;; ++steps) {
                ASSERT_LT(steps, 32 * n * n);
                const auto full = rotation::largest_unconverged(a, n, scratch, tol);
                const auto cached = rotation::cached_largest(index);
                ASSERT_EQ(full.has_value(), cached.has_value()) << "step " << steps;
                if (!full) break;
                ASSERT_EQ(full->p, cached->p) << "step " << steps;
                ASSERT_EQ(full->q, cached->q) << "step " << steps;
                ASSERT_EQ(full->value, cached->value) << "step " << steps;
                rotation::rotate(a, v, n, full->p, full->q);
                rotation::requalify(index, a, n, full->p, full->q);
            }
            if (n > 2 && kind != 1) EXPECT_GT(steps, n);
        }
    }
}

}  // namespace
