#include "kavrel_ops/application/linalg/qr/decompose.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "support/qr.hpp"

namespace {

using namespace qr_test;
using kavrel::domain::error::display;
namespace qr = kavrel_ops::application::linalg::qr::decompose;

struct Factored {
    std::vector<double> q, r;
};

Factored qr_of(const Matrix& m) {
    const Array<double, 2> a = m.array();
    auto f = qr::factor(ArrayView<double, 2>::of(a));
    EXPECT_TRUE(f.has_value()) << display(f.error());
    if (!f) return {};
    return {qr::form_q(*f), qr::extract_r(*f)};
}

std::string error_of(const Matrix& m) {
    const Array<double, 2> a = m.array();
    auto f = qr::factor(ArrayView<double, 2>::of(a));
    EXPECT_FALSE(f.has_value());
    return f ? std::string() : display(f.error());
}

TEST(QrTest, OneByOneReflectsEvenASingleEntry) {
    const Factored pos = qr_of({1, 1, {3}});
    EXPECT_EQ(pos.q, std::vector<double>{-1});
    EXPECT_EQ(pos.r, std::vector<double>{-3});
    const Factored neg = qr_of({1, 1, {-3}});
    EXPECT_EQ(neg.q, std::vector<double>{-1});
    EXPECT_EQ(neg.r, std::vector<double>{3});
}

TEST(QrTest, Errors) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    struct Row {
        const char* name;
        Matrix a;
        std::string text;
    };
    const Row rows[] = {
        {"zero", {1, 1, {0}}, "Storage error: QR pivot column 0 has zero norm: matrix is rank-deficient"},
        {"zero column 2", {3, 3, {1, 2, 0, 3, 4, -0.0, 5, 6, 0}},
         "Storage error: QR pivot column 2 has zero norm: matrix is rank-deficient"},
        {"column 1 zero after the first reflection", {3, 2, {1, 5, 0, 0, 0, 0}},
         "Storage error: QR pivot column 1 has zero norm: matrix is rank-deficient"},
        {"wide, NaN", {2, 3, {1, nan, 3, 4, 5, 6}}, "Shape mismatch: lhs [2, 3], rhs [3, 3]"},
        {"NaN before a zero column", {2, 2, {nan, 0, 1, 0}}, "Storage error: QR input contains a non-finite value"},
        {"infinity beside huge entries", {2, 1, {1e300, -inf}}, "Storage error: QR input contains a non-finite value"},
        {"R overflows", {2, 1, {1.5e308, 1.5e308}},
         "Arithmetic overflow in layout calculations: R entry exceeds the scalar range"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(error_of(row.a), row.text);
    }
}

TEST(QrTest, EmptyShapes) {
    const Factored tall = qr_of({3, 0, {}});
    EXPECT_EQ(tall.q, (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
    EXPECT_TRUE(tall.r.empty());
    const Factored none = qr_of({0, 0, {}});
    EXPECT_TRUE(none.q.empty());
    EXPECT_TRUE(none.r.empty());
}

// R[j][j] < 0 when the entry at (j, j) is positive as column j is reduced, > 0 when it is zero or
// negative; the first column shows it directly.
TEST(QrTest, DiagonalSignRule) {
    for (double a00 : {2.0, -2.0, 0.0, -0.0}) {
        SCOPED_TRACE(a00);
        const Factored f = qr_of({2, 2, {a00, 1, 1, 3}});
        EXPECT_EQ(std::signbit(f.r[0]), a00 > 0);
    }
}

// Large entries far from overflowing the products leave the matrix unscaled: small entries
// beside them keep their bits, where a scaling by 2^-k would have flushed them.
TEST(QrTest, LargeEntriesDoNotFlushSmallOnes) {
    const Factored f = qr_of({2, 2, {1e200, 0, 0, 1e-290}});
    EXPECT_EQ(f.r, (std::vector<double>{-1e200, 0, 0, -1e-290}));
    const Factored g = qr_of({3, 3, {1e300, 0, 0, 0, 1, 0, 0, 0, 1e-300}});
    EXPECT_EQ(g.r, (std::vector<double>{-1e300, 0, 0, 0, -1, 0, 0, 0, -1e-300}));
}

// Columns far below 1e-162 beside ordinary ones, and a tiny column alone: the scaled reflector
// keeps their norms (unscaled squares would vanish and report a zero column).
TEST(QrTest, TinyColumnsAreReduced) {
    const Factored alone = qr_of({2, 1, {1e-170, 1e-170}});
    EXPECT_EQ(alone.r[0], -1.4142135623730951e-170);
    EXPECT_EQ(alone.r[1], 0.0);
    const Matrix a{3, 2, {1, 1e-170, 2, -3e-170, 0.5, 2e-171}};
    const Factored f = qr_of(a);
    EXPECT_LT(orthogonality_error(f.q, 3), 12 * eps);
    // Column 1 on its own scale: its residual relative to its own norm.
    long double err = 0, norm = 0;
    for (std::uint64_t i = 0; i < 3; ++i) {
        long double qr = 0;
        for (std::uint64_t p = 0; p < 3; ++p) qr += static_cast<long double>(f.q[i * 3 + p]) * f.r[p * 2 + 1];
        err += (a(i, 1) - qr) * (a(i, 1) - qr);
        norm += static_cast<long double>(a(i, 1)) * a(i, 1);
    }
    EXPECT_LT(std::sqrt(err / norm), 16 * eps);
}

// The unscaled generator as first written: on ordinary input the scaled one gives the same bits.
Factored unscaled_reference(const Matrix& in) {
    const std::uint64_t m = in.rows, n = in.cols;
    std::vector<double> a = in.data, head(n), tau(n), w(n);
    for (std::uint64_t j = 0; j < n; ++j) {
        double s2 = 0;
        for (std::uint64_t i = j; i < m; ++i) s2 = s2 + a[i * n + j] * a[i * n + j];
        const double s = std::sqrt(s2), x0 = a[j * n + j], beta = x0 > 0 ? -s : s, v0 = x0 - beta;
        double vtv = v0 * v0;
        for (std::uint64_t i = j + 1; i < m; ++i) vtv = vtv + a[i * n + j] * a[i * n + j];
        for (std::uint64_t c = j + 1; c < n; ++c) {
            double sum = v0 * a[j * n + c];
            for (std::uint64_t i = j + 1; i < m; ++i) sum = sum + a[i * n + j] * a[i * n + c];
            w[c] = (2.0 / vtv) * sum;
            a[j * n + c] = a[j * n + c] - v0 * w[c];
            for (std::uint64_t i = j + 1; i < m; ++i) a[i * n + c] = a[i * n + c] - a[i * n + j] * w[c];
        }
        a[j * n + j] = beta;
        head[j] = v0;
        tau[j] = 2.0 / vtv;
    }
    qr::QrFactors f{a, head, tau, m, n};
    return {qr::form_q(f), qr::extract_r(f)};
}

TEST(QrTest, OrdinaryInputGivesTheUnscaledBits) {
    for (auto [m, n] : {std::pair<std::uint64_t, std::uint64_t>{7, 5}, {30, 30}, {60, 17}}) {
        SCOPED_TRACE(testing::Message() << m << "x" << n);
        Matrix a = make_matrix(m, n, Kind::random, 9);
        for (double& x : a.data) x *= 1000.0;
        const Factored f = qr_of(a), ref = unscaled_reference(a);
        EXPECT_EQ(f.r, ref.r);
        EXPECT_EQ(f.q, ref.q);
    }
}

// Near either end of the range the working copy is scaled in place: Q is that of the matrix at
// unit scale and R its R times the same power of two, unblocked and blocked.
TEST(QrTest, ScaledInputFollowsAPowerOfTwoScale) {
    for (auto [m, n] : {std::pair<std::uint64_t, std::uint64_t>{7, 5}, {200, 193}})
        linalg_test::expect_power_of_two_scale(
            make_matrix(m, n, Kind::random, 10), {1010, -1000},
            [](const Matrix& a) { return qr::factor(linalg_test::view_of(a)); },
            [](const qr::QrFactors& f) { return linalg_test::ScaledParts{qr::extract_r(f), qr::form_q(f)}; });
}

// A = Q·R to n·eps·‖A‖ and QᵀQ = I to n·eps, R exactly upper triangular, for the unblocked
// (n < 192) and the blocked (n ≥ 192: 32-column panels with block updates) reductions.
TEST(QrTest, FactorsEveryShapeAndScale) {
    const std::pair<std::uint64_t, std::uint64_t> shapes[] = {{1, 1}, {9, 1}, {8, 8}, {50, 31},
                                                             {191, 191}, {192, 192}, {230, 200}};
    for (Kind kind : {Kind::random, Kind::graded, Kind::tiny, Kind::huge, Kind::mixed}) {
        for (auto [m, n] : shapes) {
            if (kind != Kind::random && m > 200) continue;  // the long-double checks are slow
            SCOPED_TRACE(testing::Message() << name_of(kind) << " " << m << "x" << n);
            const Matrix a = make_matrix(m, n, kind, 2);
            const Factored f = qr_of(a);
            const double size = static_cast<double>(m);
            // Extreme matrices are compared at their own scale, which powers of two keep exact.
            Matrix scaled = a;
            std::vector<double> r = f.r;
            const int shift = kind == Kind::tiny ? 996 : kind == Kind::huge ? -996 : 0;
            for (double& x : scaled.data) x = std::ldexp(x, shift);
            for (double& x : r) x = std::ldexp(x, shift);
            EXPECT_LT(relative_residual(scaled, f.q, r), 8 * size * eps);
            EXPECT_LT(orthogonality_error(f.q, m), 8 * size * eps);
            EXPECT_TRUE(upper_triangular(f.r, m, n));
        }
    }
}

// A strided view is read in logical order: the same bits as its row-major copy.
TEST(QrTest, StridedViewMatchesItsCopy) {
    const Matrix a = make_matrix(9, 6, Kind::random, 4);
    const linalg_test::StridedCopy column_major = linalg_test::strided_copy(a, linalg_test::Placement::column_major);
    const auto strided = qr::factor(column_major.view);
    ASSERT_TRUE(strided.has_value());
    const Factored copy = qr_of(a);
    EXPECT_EQ(qr::extract_r(*strided), copy.r);
    EXPECT_EQ(qr::form_q(*strided), copy.q);
}

}  // namespace
