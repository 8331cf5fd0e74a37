#include "kavrel_ops/application/linalg/schur/standard_block.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace {

using kavrel_ops::application::linalg::schur::standard_block::StandardBlock;
using kavrel_ops::application::linalg::schur::standard_block::standardize_block;

constexpr double eps = 0x1p-52;

struct Expected {
    double a, b, c, d, cs, sn;
};

TEST(StandardBlockTest, WorkedExamples) {
    struct Row {
        double a, b, c, d;
        Expected e;
        double tol;  // 0: exact
    };
    const Row rows[] = {
        {2, 1, 1, 2, {3, 0, 0, 1, 0.7071067811865475, 0.7071067811865475}, 0},
        {1, 2, 3, 4, {-0.37228, -1, 0, 5.37228, -0.82456, 0.56577}, 1e-5},
        {1, 2, -3, 4, {2.5, 0.91886, -4.08114, 2.5, 0.81124, -0.58471}, 1e-5},
        {4, -5, 1, 1, {2.5, -5.5, 0.5, 2.5, 0.94868, 0.31623}, 1e-5},
        {0, -1, 1, 0, {0, -1, 1, 0, 1, 0}, 0},
        {3, 1e-20, -1e-20, 3, {3, 1e-20, -1e-20, 3, 1, 0}, 0},
        {1, 1, 0, 2, {1, 1, 0, 2, 1, 0}, 0},
        {1, 0, 3, 2, {2, -3, 0, 1, 0, 1}, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "(" << row.a << ", " << row.b << ", " << row.c << ", " << row.d << ")");
        const StandardBlock s = standardize_block(row.a, row.b, row.c, row.d);
        const double got[] = {s.a, s.b, s.c, s.d, s.cs, s.sn};
        const double want[] = {row.e.a, row.e.b, row.e.c, row.e.d, row.e.cs, row.e.sn};
        for (int i = 0; i < 6; ++i) {
            if (row.tol == 0) {
                EXPECT_EQ(got[i], want[i]) << "field " << i;
            } else {
                EXPECT_NEAR(got[i], want[i], row.tol) << "field " << i;
            }
        }
    }
    // (1, 2, 3, 4): the eigenvalues (5 ∓ √33)/2; (1, 2, −3, 4): b′·c′ = −3.75.
    const StandardBlock real = standardize_block(1, 2, 3, 4);
    EXPECT_NEAR(real.a, (5 - std::sqrt(33.0)) / 2, 8 * eps);
    EXPECT_NEAR(real.d, (5 + std::sqrt(33.0)) / 2, 8 * eps);
    const StandardBlock pair = standardize_block(1, 2, -3, 4);
    EXPECT_NEAR(pair.b * pair.c, -3.75, 32 * eps);
}

// For random blocks over a wide range of magnitudes: the rotation is orthonormal, the block is
// Rᵀ·B·R, and the form is standard (real: c′ = 0; complex: equal diagonal, opposite signs).
TEST(StandardBlockTest, RotationReproducesTheBlock) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> unit(-1, 1);
    std::uniform_int_distribution<int> exponent(-600, 600);
    for (int trial = 0; trial < 4000; ++trial) {
        const int e = trial < 2000 ? 0 : exponent(rng);
        const double a = std::ldexp(unit(rng), e), b = std::ldexp(unit(rng), e);
        const double c = std::ldexp(unit(rng), e), d = std::ldexp(trial % 3 == 0 ? a : unit(rng), trial % 3 == 0 ? 0 : e);
        SCOPED_TRACE(testing::Message() << trial << ": " << a << " " << b << " " << c << " " << d);
        const StandardBlock s = standardize_block(a, b, c, d);
        EXPECT_NEAR(s.cs * s.cs + s.sn * s.sn, 1.0, 4 * eps);
        // Rᵀ·B·R with R = [[cs, −sn], [sn, cs]], in long double.
        const long double cs = s.cs, sn = s.sn;
        const long double r00 = cs * (a * cs + b * sn) + sn * (c * cs + d * sn);
        const long double r01 = cs * (-a * sn + b * cs) + sn * (-c * sn + d * cs);
        const long double r10 = -sn * (a * cs + b * sn) + cs * (c * cs + d * sn);
        const long double r11 = -sn * (-a * sn + b * cs) + cs * (-c * sn + d * cs);
        const double scale = std::ldexp(1.0, e);
        EXPECT_NEAR(static_cast<double>(r00), s.a, 16 * eps * scale);
        EXPECT_NEAR(static_cast<double>(r01), s.b, 16 * eps * scale);
        EXPECT_NEAR(static_cast<double>(r10), s.c, 16 * eps * scale);
        EXPECT_NEAR(static_cast<double>(r11), s.d, 16 * eps * scale);
        if (s.c != 0.0) {
            EXPECT_EQ(s.a, s.d);
            EXPECT_NE(s.b, 0.0);
            EXPECT_NE(std::signbit(s.b), std::signbit(s.c));
        }
    }
}

}  // namespace
