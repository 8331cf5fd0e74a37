#include "kavrel_ops/application/linalg/schur/francis/deflation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

namespace deflation = kavrel_ops::application::linalg::schur::francis::deflation;

constexpr double eps = 0x1p-52;
constexpr double safmin = 0x1p-1022;

TEST(FrancisDeflationTest, RunFloor) {
    EXPECT_EQ(deflation::run_floor(std::vector<double>(9, 0.0), 3), safmin);
    EXPECT_EQ(deflation::run_floor(std::vector<double>{1.0, std::numeric_limits<double>::infinity(), 0, 0}, 2), safmin);
    // max 1, n = 3 (g = 2): t = 2^2·2^-1022·2^52 = 2^-968, floor = 2^-968·2^(0 − 2) = 2^-970.
    EXPECT_EQ(deflation::run_floor(std::vector<double>{1, 0.5, 0, 0, -0.25, 0, 0, 0, 0}, 3), 0x1p-970);
    // max 3·2^100 (e = 101), n = 4 (g = 2): 2^-968·2^99.
    std::vector<double> t(16, 1.0);
    t[5] = -3 * 0x1p100;
    EXPECT_EQ(deflation::run_floor(t, 4), 0x1p-869);
    // A tiny matrix: the floor never drops below safmin.
    EXPECT_EQ(deflation::run_floor(std::vector<double>{0x1p-1000, 0, 0, 0}, 2), safmin);
}

TEST(FrancisDeflationTest, NeighbourhoodUsesWholeMatrixBounds) {
    // 3×3: T[1][0] = 2, T[2][1] = 5, diagonal 1, −3, 7.
    const std::vector<double> t = {1, 9, 9, 2, -3, 9, 0, 5, 7};
    EXPECT_EQ(deflation::neighbourhood_scale(t, 3, 1), (3.0 + 1.0) + (0.0 + 5.0));
    EXPECT_EQ(deflation::neighbourhood_scale(t, 3, 2), (7.0 + 3.0) + (2.0 + 0.0));
}

TEST(FrancisDeflationTest, NegligibleSubdiagonal) {
    struct Row {
        const char* what;
        std::vector<double> t;  // 2×2 unless stated by n
        std::uint64_t n, k;
        bool plain;
        double floor;
        bool expected;
    };
    const Row rows[] = {
        {"at the floor", {1, 1, 1e-300, 1}, 2, 1, false, 1e-300, true},
        {"large against the diagonal", {1, 1, 1e-10, 1}, 2, 1, false, safmin, false},
        {"tiny against the diagonal", {1, 1, 1e-17, 2}, 2, 1, false, safmin, true},
        // Small against the diagonal but not in the block's products: T[0][1] is huge and the
        // diagonal entries are close, so the entry still matters.
        {"graded block keeps it", {1, 1e20, 1e-17, 1}, 2, 1, false, safmin, false},
        {"plain test ignores the products", {1, 1e20, 1e-17, 1}, 2, 1, true, safmin, true},
        {"plain test against the neighbourhood", {1, 1, 1e-15, 1}, 2, 1, true, safmin, false},
        // Zero diagonal: the test falls back to the outer neighbours (T[2][1] = 1).
        {"zero diagonal, large outer neighbour", {0, 0, 0, 1e-17, 0, 1, 0, 1, 0}, 3, 1, false, safmin, true},
        {"zero diagonal, small outer neighbour", {0, 0, 0, 1e-17, 0, 1, 0, 1e-30, 0}, 3, 1, false, safmin, false},
        {"zero diagonal, no neighbours", {0, 1, 1e-300, 0}, 2, 1, false, 1e-310, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(deflation::negligible_subdiagonal(row.t, row.n, row.k, row.plain, row.floor), row.expected);
    }
    EXPECT_FALSE(deflation::negligible_subdiagonal(std::vector<double>{1, 1, std::numeric_limits<double>::quiet_NaN(), 1}, 2, 1, false, safmin));
    (void)eps;
}

}  // namespace
