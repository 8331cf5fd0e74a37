#include "kavrel_ops/application/linalg/schur/francis/shift.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "support/eigen.hpp"

namespace {

namespace shift = kavrel_ops::application::linalg::schur::francis::shift;

// A 5×5 Hessenberg matrix.
std::vector<double> hessenberg5() {
    auto m = eigen_test::random_square(5, 8);
    for (std::uint64_t i = 2; i < 5; ++i)
        for (std::uint64_t j = 0; j + 1 < i; ++j) m.data[i * 5 + j] = 0.0;
    return m.data;
}

// The standard shifts are the eigenvalues of the trailing 2×2 block; the first column is
// (T − σ₁)(T − σ₂)·e_m restricted to rows m … m+2, up to its positive scale.
TEST(ShiftTest, StandardShiftsAndFirstColumn) {
    const std::vector<double> t = hessenberg5();
    const auto at = [&](int i, int j) { return t[i * 5 + j]; };
    const shift::Shifts s = shift::window_shifts(t, 5, 0, 4, 1);
    const double tr = at(3, 3) + at(4, 4), det = at(3, 3) * at(4, 4) - at(3, 4) * at(4, 3);
    // σ₁ + σ₂ and σ₁·σ₂, whichever form the pair takes.
    const std::complex<double> s1(s.rt1r, s.rt1i), s2(s.rt2r, s.rt2i);
    if (s.rt1i != 0.0) {
        EXPECT_NEAR((s1 + s2).real(), tr, 1e-14);
        EXPECT_NEAR((s1 * s2).real(), det, 1e-14);
        EXPECT_EQ(s.rt1i, -s.rt2i);
    } else {
        EXPECT_EQ(s.rt1r, s.rt2r);  // both shifts become the eigenvalue nearer to T[4][4]
        EXPECT_NEAR(s.rt1r * s.rt1r - tr * s.rt1r + det, 0.0, 1e-14);
    }
    for (std::uint64_t m : {0, 1, 2}) {
        SCOPED_TRACE(m);
        const auto v = shift::first_column(t, 5, m, s);
        // Column m of T² − (σ₁ + σ₂)T + σ₁σ₂I for the trailing block from row m on, rows m … m+2.
        const double sum = s.rt1r + s.rt2r, prod = s.rt1r * s.rt2r - s.rt1i * s.rt2i;
        double w[3];
        for (int r = 0; r < 3; ++r) {
            const int i = static_cast<int>(m) + r;
            double t2 = 0;
            for (int k = static_cast<int>(m); k < 5; ++k) t2 += at(i, k) * at(k, static_cast<int>(m));
            w[r] = t2 - sum * at(i, static_cast<int>(m)) + (r == 0 ? prod : 0.0);
        }
        const double scale = std::fabs(w[0]) + std::fabs(w[1]) + std::fabs(w[2]);
        for (int r = 0; r < 3; ++r) EXPECT_NEAR(v[r], w[r] / scale, 1e-13) << r;
        EXPECT_NEAR(std::fabs(v[0]) + std::fabs(v[1]) + std::fabs(v[2]), 1.0, 1e-15);
    }
}

TEST(ShiftTest, ExceptionalShifts) {
    const std::vector<double> t = hessenberg5();
    const auto at = [&](int i, int j) { return t[i * 5 + j]; };
    // Sweep 10 takes its block from the top of the window, sweep 20 from the bottom: both are
    // [[0.75·s + d, −0.4375·s], [s, 0.75·s + d]], whose eigenvalues are 0.75·s + d ± i·0.6614·s.
    struct Row {
        std::uint64_t its;
        double s, d;
    };
    const Row rows[] = {{10, std::fabs(at(2, 1)) + std::fabs(at(3, 2)), at(1, 1)},
                        {30, std::fabs(at(2, 1)) + std::fabs(at(3, 2)), at(1, 1)},
                        {20, std::fabs(at(4, 3)) + std::fabs(at(3, 2)), at(4, 4)},
                        {40, std::fabs(at(4, 3)) + std::fabs(at(3, 2)), at(4, 4)}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.its);
        const shift::Shifts s = shift::window_shifts(t, 5, 1, 4, row.its);
        EXPECT_NEAR(s.rt1r, 0.75 * row.s + row.d, 1e-14);
        EXPECT_NEAR(s.rt1i, std::sqrt(0.4375) * row.s, 1e-14);
        EXPECT_EQ(s.rt2i, -s.rt1i);
    }
    const shift::Shifts zero = shift::window_shifts(std::vector<double>(25, 0.0), 5, 0, 4, 1);
    EXPECT_EQ(zero.rt1r, 0.0);
    EXPECT_EQ(zero.rt1i, 0.0);
}

}  // namespace
