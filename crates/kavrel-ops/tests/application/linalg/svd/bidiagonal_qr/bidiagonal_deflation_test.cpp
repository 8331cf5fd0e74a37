#include "kavrel_ops/application/linalg/svd/bidiagonal_qr/deflation.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "kavrel/domain/error/error.hpp"

namespace {

namespace df = kavrel_ops::application::linalg::svd::bidiagonal_qr::deflation;
namespace ch = kavrel_ops::application::linalg::svd::bidiagonal_qr::chase;
using kavrel::domain::error::InternalError;

constexpr double tol = df::relative_tolerance;

TEST(BidiagonalDeflationTest, TolerancesAsPrinted) {
    EXPECT_EQ(tol, std::sqrt(0x1p-91));
    std::vector<double> d = {2, 1}, e = {0};
    const df::Deflation a = df::Deflation::of(d, e, 2);
    EXPECT_EQ(a.tol, tol);
    EXPECT_EQ(a.n, 2u);
    // smin = 1 (2 then (2/(0 + 2))·1), divided by sqrt(2) before the tolerance.
    EXPECT_EQ(a.thresh, (1.0 / std::sqrt(2.0)) * tol);
    // A zero lower bound leaves safmin.
    d = {0, 5};
    e = {1};
    EXPECT_EQ(df::Deflation::of(d, e, 2).thresh, 0x1p-1022);
    EXPECT_THROW((void)df::Deflation::of(d, e, 1), InternalError);
}

TEST(BidiagonalDeflationTest, SplitFindsTheNegligibleEntryFromEitherEnd) {
    std::vector<double> d = {1, 2, 3, 4}, e = {1, 1e-20, 1, 0};
    const df::Deflation defl = df::Deflation::of(d, e, 4);
    const ch::OrientedBlock block = ch::OrientedBlock::of(d, e, 0, 3);
    const df::Split up = defl.split<ch::Up>(block), down = defl.split<ch::Down>(block);
    EXPECT_TRUE(up.found);
    EXPECT_EQ(up.index, 1u);
    EXPECT_TRUE(down.found);
    EXPECT_EQ(down.index, 1u);
    // The entry at the far end is tested against its diagonal neighbour first.
    std::vector<double> d2 = {1e10, 1, 1}, e2 = {1e-5, 1, 0};
    const df::Deflation defl2 = df::Deflation::of(d2, e2, 3);
    const df::Split top = defl2.split<ch::Up>(ch::OrientedBlock::of(d2, e2, 0, 2));
    EXPECT_TRUE(top.found);
    EXPECT_EQ(top.index, 0u);
    std::vector<double> d3 = {1, 1, 1e10}, e3 = {1, 1e-5, 0};
    const df::Deflation defl3 = df::Deflation::of(d3, e3, 3);
    const df::Split bottom = defl3.split<ch::Down>(ch::OrientedBlock::of(d3, e3, 0, 2));
    EXPECT_TRUE(bottom.found);
    EXPECT_EQ(bottom.index, 1u);
    // Nothing negligible: (false, lo) going up, (false, hi − 1) going down.
    std::vector<double> d4 = {3, 2, 1, 5}, e4 = {1, 1, 1, 0};
    const df::Deflation defl4 = df::Deflation::of(d4, e4, 4);
    const ch::OrientedBlock inner = ch::OrientedBlock::of(d4, e4, 1, 3);
    EXPECT_FALSE(defl4.split<ch::Up>(inner).found);
    EXPECT_EQ(defl4.split<ch::Up>(inner).index, 1u);
    EXPECT_FALSE(defl4.split<ch::Down>(inner).found);
    EXPECT_EQ(defl4.split<ch::Down>(inner).index, 2u);
}

TEST(BidiagonalDeflationTest, ShiftRuinsAccuracyOnlyForNearlySingularBlocks) {
    std::vector<double> tiny = {1, 1e-20, 1}, e = {1, 1, 0};
    const df::Deflation a = df::Deflation::of(tiny, e, 3);
    EXPECT_TRUE(a.shift_ruins_accuracy<ch::Up>(ch::OrientedBlock::of(tiny, e, 0, 2)));
    EXPECT_TRUE(a.shift_ruins_accuracy<ch::Down>(ch::OrientedBlock::of(tiny, e, 0, 2)));
    std::vector<double> fine = {3, 2, 1}, e2 = {0.5, 0.5, 0};
    const df::Deflation b = df::Deflation::of(fine, e2, 3);
    EXPECT_FALSE(b.shift_ruins_accuracy<ch::Up>(ch::OrientedBlock::of(fine, e2, 0, 2)));
    EXPECT_FALSE(b.shift_ruins_accuracy<ch::Down>(ch::OrientedBlock::of(fine, e2, 0, 2)));
    std::vector<double> zeros = {0, 0, 0}, e3 = {0, 0, 0};
    const df::Deflation c = df::Deflation::of(zeros, e3, 3);
    EXPECT_FALSE(c.shift_ruins_accuracy<ch::Down>(ch::OrientedBlock::of(zeros, e3, 0, 2)));
}

}  // namespace
