#include "kavrel_ops/application/linalg/svd/bidiagonal_qr/sweep.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "support/svd.hpp"

namespace {

namespace sw = kavrel_ops::application::linalg::svd::bidiagonal_qr::sweep;
namespace ch = kavrel_ops::application::linalg::svd::bidiagonal_qr::chase;
namespace rot = kavrel_ops::application::linalg::svd::bidiagonal_qr::rotation;
using kavrel::domain::error::InternalError;
using linalg_test::Matrix;
using linalg_test::eps;

constexpr std::uint64_t n = 7, lo = 1, hi = 5;

Matrix bidiagonal(const std::vector<double>& d, const std::vector<double>& e) {
    Matrix b{n, n, std::vector<double>(n * n, 0.0)};
    for (std::uint64_t i = 0; i < n; ++i) {
        b(i, i) = d[i];
        if (i + 1 < n) b(i, i + 1) = e[i];
    }
    return b;
}

struct Fixture {
    std::vector<double> d = {0.5, 3, -1.25, 2, 0.75, -4, 1.5};
    std::vector<double> e = {0.0, 1, 0.5, -2, 1.5, 0.0, 0.0};  // the block 1 … 5 is split off
    Matrix ut{n, n, std::vector<double>(n * n, 0.0)};
    Matrix vt{n, n, std::vector<double>(n * n, 0.0)};
    Fixture() {
        for (std::uint64_t i = 0; i < n; ++i) ut(i, i) = vt(i, i) = 1.0;
    }
    sw::RotationTargets rows() { return {sw::FactorRows{ut.data, n}, sw::FactorRows{vt.data, n}}; }
    ch::OrientedBlock block() { return ch::OrientedBlock::of(d, e, lo, hi); }
};

// B0 = U·B1·Vᵀ with the accumulated rows, the rows orthonormal, and nothing outside the block
// changed.
void expect_equivalent(const std::vector<double>& d0, const std::vector<double>& e0, const Fixture& f) {
    const Matrix b0 = bidiagonal(d0, e0), b1 = bidiagonal(f.d, f.e);
    const Matrix back = linalg_test::multiply(linalg_test::multiply(linalg_test::transposed(f.ut), b1), f.vt);
    for (std::size_t i = 0; i < back.data.size(); ++i) EXPECT_NEAR(back.data[i], b0.data[i], 64 * eps) << i;
    EXPECT_LE(svd_test::orthonormality_error(f.ut), 16 * eps);
    EXPECT_LE(svd_test::orthonormality_error(f.vt), 16 * eps);
    EXPECT_EQ(f.d[0], d0[0]);
    EXPECT_EQ(f.d[6], d0[6]);
    EXPECT_EQ(f.e[0], 0.0);
    EXPECT_EQ(f.e[5], 0.0);
}

template <class D>
void check_sweeps(const char* name) {
    SCOPED_TRACE(name);
    const rot::RotationWindow w = rot::rotation_window();
    {
        Fixture f;
        const auto d0 = f.d, e0 = f.e;
        auto block = f.block();
        sw::zero_shift_sweep<D>(block, w, f.rows());
        expect_equivalent(d0, e0, f);
    }
    {
        Fixture f;
        const auto d0 = f.d, e0 = f.e;
        auto block = f.block();
        const auto start = sw::shifted_start<D>(block, sw::shift_window());
        ASSERT_TRUE(start.has_value());
        sw::shifted_sweep<D>(block, *start, w, f.rows());
        expect_equivalent(d0, e0, f);
        // The shift makes the entry at the end where the chase finishes much smaller.
        const std::uint64_t end = std::is_same_v<D, ch::Down> ? hi - 1 : lo;
        EXPECT_LT(std::fabs(f.e[end]), 0.5 * std::fabs(e0[end]));
    }
}

TEST(SweepTest, SweepsKeepTheMatrixInBothDirections) {
    check_sweeps<ch::Down>("down");
    check_sweeps<ch::Up>("up");
}

TEST(SweepTest, ZeroDiagonalChases) {
    const rot::RotationWindow w = rot::rotation_window();
    for (std::uint64_t idx : {1u, 3u}) {
        SCOPED_TRACE(idx);
        Fixture f;
        f.d[idx] = 0.0;
        const auto d0 = f.d, e0 = f.e;
        auto block = f.block();
        sw::chase_zero_at_top(block, idx, w, f.rows());
        expect_equivalent(d0, e0, f);
        EXPECT_EQ(f.d[idx], 0.0);
        EXPECT_EQ(f.e[idx], 0.0);
        EXPECT_EQ(f.vt.data, Fixture().vt.data);  // left rotations only
    }
    Fixture f;
    f.d[hi] = 0.0;
    const auto d0 = f.d, e0 = f.e;
    auto block = f.block();
    sw::chase_zero_at_bottom(block, w, f.rows());
    expect_equivalent(d0, e0, f);
    EXPECT_EQ(f.d[hi], 0.0);
    EXPECT_EQ(f.e[hi - 1], 0.0);
    EXPECT_EQ(f.ut.data, Fixture().ut.data);  // right rotations only
    EXPECT_THROW(sw::chase_zero_at_top(block, hi, w, f.rows()), InternalError);
}

TEST(SweepTest, ShiftWindowAndScaledShift) {
    const sw::ShiftWindow w = sw::shift_window();
    EXPECT_EQ(w.lo, 1.2213386697554622e-77);
    EXPECT_EQ(w.hi, 9.736915275439738e+76);
    // A block beyond the window is brought to a largest magnitude in [1, 2) before the shift is
    // computed: its starting pair is the plain block's (largest magnitude 4, inside the window,
    // not rescaled) times 2^-4, bit for bit.
    for (int k : {-600, 600}) {
        SCOPED_TRACE(k);
        Fixture f, g;
        for (double& x : g.d) x = std::ldexp(x, k);
        for (double& x : g.e) x = std::ldexp(x, k);
        const auto plain = sw::shifted_start<ch::Down>(f.block(), w);
        const auto scaled = sw::shifted_start<ch::Down>(g.block(), w);
        ASSERT_TRUE(plain && scaled);
        EXPECT_EQ(scaled->y, std::ldexp(plain->y, -4));
        EXPECT_EQ(scaled->z, std::ldexp(plain->z, -4));
    }
    // A block of two rows has no shift.
    Fixture f;
    EXPECT_THROW((void)sw::shifted_start<ch::Up>(ch::OrientedBlock::of(f.d, f.e, 2, 3), w), InternalError);
}

}  // namespace
