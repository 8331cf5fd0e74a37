#include "kavrel_ops/application/linalg/svd/bidiagonal_qr/rotation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "kavrel/domain/error/error.hpp"

namespace {

namespace rot = kavrel_ops::application::linalg::svd::bidiagonal_qr::rotation;
using kavrel::domain::error::InternalError;

constexpr double inf = std::numeric_limits<double>::infinity();

TEST(BidiagonalRotationTest, WindowAsPrinted) {
    const rot::RotationWindow w = rot::rotation_window();
    EXPECT_EQ(w.lo, 1.4916681462400417e-154);
    EXPECT_EQ(w.lo, std::ldexp(1.0 + 0x1p-52, -511));
    EXPECT_EQ(w.hi, 9.480751908109174e+153);
}

TEST(BidiagonalRotationTest, WorkedValues) {
    struct Row {
        double f, g, c, s, r;
    };
    const Row rows[] = {
        {-3, 0, 1, 0, -3},
        {-3, -0.0, 1, 0, -3},
        {0, -5, 0, -1, 5},
        // c and s are products with 1/d, not quotients.
        {3, 4, 0.6000000000000001, 0.8, 5},
        {1e300, 1e300, 0.7071067811865475, 0.7071067811865475, 1.4142135623730952e300},
        {1e-300, 1e-300, 0.7071067811865476, 0.7071067811865476, 1.414213562373095e-300},
        {-4, 3, -0.8, 0.6000000000000001, 5},
    };
    const rot::RotationWindow w = rot::rotation_window();
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "f " << row.f << " g " << row.g);
        const rot::Rotation r = rot::generate_rotation(row.f, row.g, w);
        EXPECT_EQ(r.c, row.c);
        EXPECT_EQ(r.s, row.s);
        EXPECT_EQ(r.r, row.r);
    }
}

// Inside the window the generator is the plain formula; just outside it rescales, which shows in
// the last bits of a pair whose squares lose precision unscaled.
TEST(BidiagonalRotationTest, ScalesOnlyOutsideTheWindow) {
    const rot::RotationWindow w = rot::rotation_window();
    const auto plain = [](double f, double g) {
        const double d = std::sqrt(f * f + g * g);
        const double inv = 1.0 / d;
        return rot::Rotation{f * inv, g * inv, d};
    };
    for (double f : {w.lo, w.hi, -w.hi}) {
        SCOPED_TRACE(testing::Message() << "f " << f);
        const rot::Rotation got = rot::generate_rotation(f, f * 0.75, w);
        const rot::Rotation expect = plain(f, f * 0.75);
        EXPECT_EQ(got.c, expect.c);
        EXPECT_EQ(got.s, expect.s);
        EXPECT_EQ(got.r, expect.r);
    }
    // Just above hi the plain squares stay finite but the generator must still scale: its result
    // equals the scaled computation exactly.
    for (double f : {std::nextafter(w.hi, inf), std::nextafter(w.lo, 0.0), 1e-310, 1e308}) {
        SCOPED_TRACE(testing::Message() << "f " << f);
        const double g = f * 0.5;
        const int k = std::ilogb(f);
        const double fs = std::scalbn(f, -k), gs = std::scalbn(g, -k);
        const double d = std::sqrt(fs * fs + gs * gs);
        const rot::Rotation got = rot::generate_rotation(f, g, w);
        EXPECT_EQ(got.c, fs * (1.0 / d));
        EXPECT_EQ(got.s, gs * (1.0 / d));
        EXPECT_EQ(got.r, std::scalbn(d, k));
        EXPECT_TRUE(std::isfinite(got.r) && got.r > 0);
    }
}

TEST(BidiagonalRotationTest, RotateRowsUpdatesBothRowsFromTheirOldValues) {
    // Three rows of 5 and a guard entry; rows 2 and 0 are rotated, row 1 and the guard stay.
    std::vector<double> buffer = {1, 2, 3, 4, 5, -1, -2, -3, -4, -5, 0.5, 0.25, -8, 16, 3, 99};
    const std::vector<double> before = buffer;
    const double c = 0.6, s = 0.8;
    rot::rotate_rows(std::span<double>(buffer).first(15), 5, 2, 0, c, s);
    for (int j = 0; j < 5; ++j) {
        const double x = before[10 + j], y = before[j];
        EXPECT_EQ(buffer[10 + j], c * x + s * y) << j;
        EXPECT_EQ(buffer[j], c * y - s * x) << j;
        EXPECT_EQ(buffer[5 + j], before[5 + j]) << j;
    }
    EXPECT_EQ(buffer[15], 99);
    // The identity rotation changes no bit.
    const std::vector<double> now = buffer;
    rot::rotate_rows(buffer, 4, 1, 3, 1.0, 0.0);
    EXPECT_EQ(buffer, now);
}

TEST(BidiagonalRotationTest, RotateRowsRefusesBadRows) {
    std::vector<double> buffer(12);
    EXPECT_THROW(rot::rotate_rows(buffer, 4, 1, 1, 1, 0), InternalError);
    EXPECT_THROW(rot::rotate_rows(buffer, 4, 0, 3, 1, 0), InternalError);
    EXPECT_THROW(rot::rotate_rows(buffer, 5, 2, 0, 1, 0), InternalError);
}

}  // namespace
