#include "kavrel_ops/application/linalg/bidiagonal/colmajor.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

namespace cm = kavrel_ops::application::linalg::bidiagonal::colmajor;

TEST(ColmajorTest, WindowAsPrinted) {
    const struct {
        std::uint64_t rows;
        double hi;
    } rows[] = {{0, 1.3407807929942593e+154}, {1, 1.3407807929942593e+154}, {2, 9.480751908109174e+153},
                {100, 1.1850939885136468e+153}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rows);
        const cm::LarfgWindow w = cm::larfg_window(row.rows);
        EXPECT_EQ(w.lo, 1.4916681462400417e-154);
        EXPECT_EQ(w.hi, row.hi);
    }
}

TEST(ColmajorTest, WorkedValues) {
    struct Row {
        std::vector<double> x, after;
        double tau, beta;
    };
    const Row rows[] = {
        {{3, 4}, {-5, 0.5}, 1.6, -5},
        {{-3, 4}, {5, -0.5}, 1.6, 5},
        // A zero leading entry of either sign gives a positive beta.
        {{0, 2}, {2, -1}, 1, 2},
        {{-0.0, 2}, {2, -1}, 1, 2},
        {{1, 2, 2}, {-3, 0.5, 0.5}, 4.0 / 3.0, -3},
        // Nothing to annihilate: tau = 0 and x unchanged.
        {{-7, 0, -0.0}, {-7, 0, -0.0}, 0, -7},
        {{4}, {4}, 0, 4},
        {{}, {}, 0, 0},
    };
    const cm::LarfgWindow w = cm::larfg_window(3);
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "length " << row.x.size() << (row.x.empty() ? 0.0 : row.x[0]));
        std::vector<double> x = row.x;
        const cm::Larfg r = cm::larfg(x, w);
        EXPECT_EQ(r.tau, row.tau);
        EXPECT_EQ(r.beta, row.beta);
        EXPECT_EQ(x, row.after);
        if (!x.empty()) {
            EXPECT_EQ(std::signbit(x[0]), std::signbit(row.after[0]));
        }
    }
}

// Outside the window the segment is scaled into [1, 2) by its leading power of two: tau and the
// tail are those of the scaled segment bit for bit, and beta is scaled back.
TEST(ColmajorTest, RescalesOutsideTheWindow) {
    std::mt19937_64 rng(21);
    std::uniform_real_distribution<double> unit(-1, 1);
    const cm::LarfgWindow w = cm::larfg_window(50);
    for (int e : {-1070, -900, -520, -513, 512, 520, 900, 1000}) {
        SCOPED_TRACE(e);
        std::vector<double> x(6);
        for (double& xi : x) xi = std::ldexp(unit(rng), e);
        double amax = 0;
        for (double xi : x) amax = std::fmax(amax, std::fabs(xi));
        const int s = std::ilogb(amax);
        std::vector<double> scaled(x.size());
        for (std::size_t i = 0; i < x.size(); ++i) scaled[i] = std::scalbn(x[i], -s);
        const cm::Larfg expect = cm::larfg(scaled, w);
        const cm::Larfg got = cm::larfg(x, w);
        EXPECT_EQ(got.tau, expect.tau);
        EXPECT_EQ(got.beta, std::scalbn(expect.beta, s));
        EXPECT_TRUE(std::isfinite(got.beta) && got.beta != 0);
        for (std::size_t i = 1; i < x.size(); ++i) EXPECT_EQ(x[i], scaled[i]) << i;
    }
}

// (I − tau·v·vᵀ)·x = (beta, 0, …) with v = (1, x_after[1], …).
TEST(ColmajorTest, ReflectsOntoTheFirstAxis) {
    std::mt19937_64 rng(8);
    std::uniform_real_distribution<double> unit(-1, 1);
    const cm::LarfgWindow w = cm::larfg_window(40);
    for (std::size_t n : {2u, 3u, 9u, 40u}) {
        SCOPED_TRACE(n);
        std::vector<double> x(n);
        for (double& xi : x) xi = unit(rng);
        std::vector<double> v = x;
        const cm::Larfg r = cm::larfg(v, w);
        v[0] = 1.0;
        double vx = 0, norm = 0;
        for (std::size_t i = 0; i < n; ++i) {
            vx += v[i] * x[i];
            norm += x[i] * x[i];
        }
        EXPECT_NEAR(std::fabs(r.beta), std::sqrt(norm), 4 * n * 0x1p-52);
        for (std::size_t i = 0; i < n; ++i)
            EXPECT_NEAR(x[i] - r.tau * vx * v[i], i == 0 ? r.beta : 0.0, 8 * n * 0x1p-52) << i;
    }
}

}  // namespace
