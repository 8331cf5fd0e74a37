#include "kavrel_ops/application/linalg/svd/bidiagonal_qr.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "support/svd.hpp"

namespace {

namespace qr = kavrel_ops::application::linalg::svd::bidiagonal_qr;
using kavrel::domain::error::display;
using kavrel::domain::error::InternalError;
using linalg_test::identity;
using linalg_test::Matrix;
using linalg_test::eps;

// B = diag(d) + superdiag(e) as a dense n×n matrix.
Matrix bidiagonal_matrix(const std::vector<double>& d, const std::vector<double>& e) {
    const std::uint64_t n = d.size();
    Matrix b{n, n, std::vector<double>(n * n, 0.0)};
    for (std::uint64_t i = 0; i < n; ++i) {
        b(i, i) = d[i];
        if (i + 1 < n) b(i, i + 1) = e[i];
    }
    return b;
}

// Runs the iteration with rows of Uᵀ and Vᵀ starting from the identity, checks B = U·diag(d)·Vᵀ
// and the orthogonality of both, and returns the final d.
std::vector<double> run_checked(const std::vector<double>& d0, const std::vector<double>& e0) {
    const std::uint64_t n = d0.size();
    std::vector<double> d = d0, e = e0;
    e.resize(n, 0.0);
    Matrix ut = identity(n), vt = identity(n);
    const qr::RotationTargets rows{qr::FactorRows{ut.data, n}, qr::FactorRows{vt.data, n}};
    const auto run = qr::run_bidiagonal_qr(d, e, n, rows);
    EXPECT_TRUE(run.has_value());
    for (std::uint64_t i = 0; i + 1 < n; ++i) EXPECT_EQ(e[i], 0.0) << "e[" << i << "]";
    const Matrix b = bidiagonal_matrix(d0, e0);
    const double scale = std::max(linalg_test::max_abs(b), 1e-300);
    EXPECT_LE(svd_test::reconstruction_error(b, linalg_test::transposed(ut), d, linalg_test::transposed(vt)),
              8 * n * eps * scale);
    EXPECT_LE(svd_test::orthonormality_error(linalg_test::transposed(ut)), 8 * n * eps);
    EXPECT_LE(svd_test::orthonormality_error(linalg_test::transposed(vt)), 8 * n * eps);
    // Without rows the same bits come out.
    std::vector<double> d_bare = d0, e_bare = e0;
    e_bare.resize(n, 0.0);
    EXPECT_TRUE(qr::run_bidiagonal_qr(d_bare, e_bare, n, {}).has_value());
    EXPECT_EQ(d_bare, d);
    return d;
}

TEST(BidiagonalQrTest, WorkedExamples) {
    struct Row {
        const char* name;
        std::vector<double> d, e, expect;
    };
    const Row rows[] = {
        {"one entry", {-2}, {}, {-2}},
        {"2x2 with e = 0 keeps order and signs", {2, -3}, {0}, {2, -3}},
        {"negative zero counts as zero", {2, -3}, {-0.0}, {2, -3}},
        {"zero matrix", {0, 0, 0}, {0, 0}, {0, 0, 0}},
        {"top zero-diagonal chase", {1, 0, 1}, {1, 1}, {1.4142135623730951, 0.0, 1.4142135623730951}},
        {"bottom zero-diagonal chase", {1, 1, 0}, {1, 1}, {1.7320508075688772, 1.0, 0.0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(run_checked(row.d, row.e), row.expect);
    }
}

TEST(BidiagonalQrTest, TwoByTwoIsOneStep) {
    std::vector<double> d = {1, 3}, e = {2, 0};
    const auto steps = qr::detail::run_with_limit(d, e, 2, {}, 0);
    ASSERT_TRUE(steps.has_value());
    EXPECT_EQ(*steps, 0u);
    EXPECT_EQ(d, (std::vector<double>{3.6502815398728847, 0.8218544151266947}));
}

// Hand-made bidiagonals: zeros on the diagonal, tiny and graded superdiagonals, clusters. The
// iteration is normwise accurate: a diagonal entry negligible beside its superdiagonal neighbours
// is set to zero, so values far below eps·‖B‖ are not resolved; B = U·diag(d)·Vᵀ is the test.
TEST(BidiagonalQrTest, HandMadeBidiagonals) {
    struct Row {
        const char* name;
        std::vector<double> d, e;
    };
    std::vector<Row> rows = {
        {"zeros inside the diagonal", {3, 0, 2, 0, 0, 5, 1}, {1, 2, 1e-3, 4, 1, 2}},
        {"zero first and last", {0, 1, 2, 3, 0}, {1, 1, 1, 1}},
        {"tiny superdiagonal", {1, 2, 3, 4, 5}, {1e-300, 1e-17, 3e-20, 1e-16}},
        {"graded", {1, 1e-4, 1e-8, 1e-12, 1e-16, 1e-20}, {1e-2, 1e-6, 1e-10, 1e-14, 1e-18}},
        {"reverse graded", {1e-20, 1e-16, 1e-12, 1e-8, 1e-4, 1}, {1e-18, 1e-14, 1e-10, 1e-6, 1e-2}},
        {"clustered", {1, 1 + 1e-14, 1 - 1e-14, 1, 1 + 2e-15}, {1e-8, 1e-8, 1e-8, 1e-8}},
        {"huge and tiny", {1e150, 1e-150, 1e150, 1e-150}, {1e150, 1e-150, 1e150}},
        {"negative entries", {-1, 2, -3, 4, -5, 6, -7}, {0.5, -0.5, 0.25, -2, 3, -1}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<double> d = run_checked(row.d, row.e);
        // Rotations keep the Frobenius norm: Σ d² = Σ d0² + Σ e0².
        long double after = 0, before = 0;
        for (double x : d) after += static_cast<long double>(x) * x;
        for (double x : row.d) before += static_cast<long double>(x) * x;
        for (double x : row.e) before += static_cast<long double>(x) * x;
        EXPECT_NEAR(static_cast<double>(after / before), 1.0, 64 * eps);
    }
}

// The upper bidiagonal matrix of ones of order 2500 has the singular values 2·cos(kπ/(2n + 1)),
// k = 1 … n, and needs more than 4000 chases and sweeps: the Part-size fixed limit would refuse
// it, the limit of max(4000, 30·n) does not.
TEST(BidiagonalQrTest, OnesOfOrder2500ConvergeUnderTheScaledLimit) {
    const std::uint64_t n = 2500;
    std::vector<double> d(n, 1.0), e(n, 1.0);
    e[n - 1] = 0.0;
    const auto steps = qr::detail::run_with_limit(d, e, n, {}, qr::step_limit(n));
    ASSERT_TRUE(steps.has_value());
    EXPECT_GT(*steps, 4000u);
    std::vector<double> s = d;
    for (double& x : s) x = std::fabs(x);
    std::sort(s.begin(), s.end(), std::greater<>());
    for (std::uint64_t k = 1; k <= n; ++k) {
        const double expect =
            2.0 * std::cos(static_cast<double>(k) * std::numbers::pi / static_cast<double>(2 * n + 1));
        ASSERT_NEAR(s[k - 1], expect, 30 * n * eps * 2.0) << "k " << k;
    }
}

// A run succeeds with exactly its step count as limit and fails with one step less.
TEST(BidiagonalQrTest, StepLimitIsTheLastStepAllowed) {
    const std::uint64_t n = 200;
    std::vector<double> d(n, 1.0), e(n, 1.0);
    const auto steps = qr::detail::run_with_limit(d, e, n, {}, qr::step_limit(n));
    ASSERT_TRUE(steps.has_value());
    ASSERT_GT(*steps, 0u);
    std::vector<double> d2(n, 1.0), e2(n, 1.0);
    const auto exact = qr::detail::run_with_limit(d2, e2, n, {}, *steps);
    ASSERT_TRUE(exact.has_value());
    EXPECT_EQ(*exact, *steps);
    EXPECT_EQ(d2, d);
    std::vector<double> d3(n, 1.0), e3(n, 1.0);
    const auto short_by_one = qr::detail::run_with_limit(d3, e3, n, {}, *steps - 1);
    ASSERT_FALSE(short_by_one.has_value());
    EXPECT_EQ(display(short_by_one.error()), "Storage error: bidiagonal SVD QR failed to converge");
}

TEST(BidiagonalQrTest, StepLimitGrowsWithTheOrder) {
    EXPECT_EQ(qr::step_limit(0), 4000u);
    EXPECT_EQ(qr::step_limit(133), 4000u);
    EXPECT_EQ(qr::step_limit(134), 4020u);
    EXPECT_EQ(qr::step_limit(2500), 75000u);
}

TEST(BidiagonalQrTest, RefusesShortBuffers) {
    std::vector<double> d(3), e(1);
    EXPECT_THROW((void)qr::run_bidiagonal_qr(d, e, 3, {}), InternalError);
}

// --- Drivers -------------------------------------------------------------------------------

using linalg_test::ArrayView;

// S descending and non-negative, U and V with orthonormal columns, U·diag(S)·Vᵀ = A.
void expect_svd(const Matrix& a, const qr::SvdResult& r) {
    const std::uint64_t k = std::min(a.rows, a.cols);
    const Matrix u = linalg_test::matrix_of(r.u), v = linalg_test::matrix_of(r.v);
    ASSERT_EQ(r.s.size(), k);
    ASSERT_EQ(u.rows, a.rows);
    ASSERT_EQ(u.cols, k);
    ASSERT_EQ(v.rows, a.cols);
    ASSERT_EQ(v.cols, k);
    for (std::uint64_t i = 0; i < k; ++i) {
        EXPECT_GE(r.s[i], 0.0);
        if (i > 0) {
            EXPECT_LE(r.s[i], r.s[i - 1]);
        }
    }
    const double n = static_cast<double>(std::max(a.rows, a.cols));
    EXPECT_LE(svd_test::orthonormality_error(u), 8 * n * eps);
    EXPECT_LE(svd_test::orthonormality_error(v), 8 * n * eps);
    EXPECT_LE(svd_test::reconstruction_error(a, u, r.s, v), 8 * n * eps * std::max(r.s.empty() ? 0.0 : r.s[0], 1e-300));
}

TEST(BidiagonalQrTest, ThinSvdOfTallWideAndSquareMatrices) {
    const std::pair<std::uint64_t, std::uint64_t> shapes[] = {{1, 1}, {1, 7}, {7, 1}, {3, 5}, {5, 3}, {20, 20}, {60, 13}, {13, 60}};
    for (auto [m, n] : shapes) {
        SCOPED_TRACE(testing::Message() << m << "x" << n);
        const Matrix a = linalg_test::random_matrix(m, n, 40 + 7 * m + n);
        const auto r = qr::svd_of_balanced(ArrayView<double, 2>::of(a.array()));
        ASSERT_TRUE(r.has_value());
        expect_svd(a, *r);
        const auto values = qr::singular_values_of_balanced(ArrayView<double, 2>::of(a.array()));
        ASSERT_TRUE(values.has_value());
        ASSERT_EQ(values->size(), r->s.size());
        for (std::size_t i = 0; i < r->s.size(); ++i)
            EXPECT_NEAR((*values)[i], r->s[i], 8 * std::max(m, n) * eps * r->s[0]) << i;
    }
}

TEST(BidiagonalQrTest, ThinSvdOfStructuredMatrices) {
    // Rank 2 of 9×6, a graded matrix and one with a cluster of equal singular values.
    const Matrix x = linalg_test::random_matrix(9, 2, 1), y = linalg_test::random_matrix(2, 6, 2);
    Matrix graded = linalg_test::random_matrix(8, 8, 3);
    for (std::uint64_t i = 0; i < 8; ++i)
        for (std::uint64_t j = 0; j < 8; ++j) graded(i, j) *= std::pow(10.0, -2.0 * static_cast<double>(j));
    Matrix clustered{6, 4, std::vector<double>(24, 0.0)};
    for (std::uint64_t i = 0; i < 4; ++i) clustered(i + 2, i) = 1.0;
    const Matrix cases[] = {linalg_test::multiply(x, y), graded, clustered};
    for (const Matrix& a : cases) {
        SCOPED_TRACE(testing::Message() << a.rows << "x" << a.cols);
        const auto r = qr::svd_of_balanced(ArrayView<double, 2>::of(a.array()));
        ASSERT_TRUE(r.has_value());
        expect_svd(a, *r);
    }
    const auto rank2 = qr::singular_values_of_balanced(ArrayView<double, 2>::of(cases[0].array()));
    ASSERT_TRUE(rank2.has_value());
    for (std::size_t i = 2; i < rank2->size(); ++i) EXPECT_LE((*rank2)[i], 64 * eps * (*rank2)[0]) << i;
    const auto ones = qr::singular_values_of_balanced(ArrayView<double, 2>::of(clustered.array()));
    ASSERT_TRUE(ones.has_value());
    for (double s : *ones) EXPECT_NEAR(s, 1.0, 8 * eps);
}

TEST(BidiagonalQrTest, ThinSvdWorkedCases) {
    // diag(2, −3): the sign of −3 moves into U; S = [3, 2].
    const auto diag = qr::svd_of_balanced(ArrayView<double, 2>::of(Matrix{2, 2, {2, 0, 0, -3}}.array()));
    ASSERT_TRUE(diag.has_value());
    EXPECT_EQ(diag->s, (std::vector<double>{3, 2}));
    EXPECT_EQ(diag->u.storage.data, (std::vector<double>{0, 1, -1, 0}));
    EXPECT_EQ(diag->v.storage.data, (std::vector<double>{0, 1, 1, 0}));
    // 1×1: the sign moves into U.
    const auto one = qr::svd_of_balanced(ArrayView<double, 2>::of(Matrix{1, 1, {-4}}.array()));
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->s, std::vector<double>{4});
    EXPECT_EQ(one->u.storage.data, std::vector<double>{-1});
    EXPECT_EQ(one->v.storage.data, std::vector<double>{1});
    // A row: computed through the transpose, so the sign lands in V, and U = [[1]].
    const auto row = qr::svd_of_balanced(ArrayView<double, 2>::of(Matrix{1, 2, {-3, 0}}.array()));
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->s, std::vector<double>{3});
    EXPECT_EQ(row->u.storage.data, std::vector<double>{1});
    EXPECT_EQ(row->v.storage.data, (std::vector<double>{-1, 0}));
    // A zero matrix: zeros, no sign flips, the leading columns of the identities.
    const auto zero = qr::svd_of_balanced(ArrayView<double, 2>::of(Matrix{3, 2, std::vector<double>(6, 0.0)}.array()));
    ASSERT_TRUE(zero.has_value());
    EXPECT_EQ(zero->s, (std::vector<double>{0, 0}));
    EXPECT_EQ(zero->u.storage.data, (std::vector<double>{1, 0, 0, 1, 0, 0}));
    EXPECT_EQ(zero->v.storage.data, (std::vector<double>{1, 0, 0, 1}));
    // Equal values keep their positions: the identity has U = V = I.
    const auto eye = qr::svd_of_balanced(ArrayView<double, 2>::of(identity(4).array()));
    ASSERT_TRUE(eye.has_value());
    EXPECT_EQ(eye->u.storage.data, identity(4).data);
    EXPECT_EQ(eye->v.storage.data, identity(4).data);
    const auto values = qr::singular_values_of_balanced(ArrayView<double, 2>::of(Matrix{2, 2, {-0.0, 0, 0, -5}}.array()));
    ASSERT_TRUE(values.has_value());
    EXPECT_EQ(*values, (std::vector<double>{5, 0}));
    EXPECT_FALSE(std::signbit((*values)[1]));
}

// A 1×40000 row needs only 40000-entry factors (the full m×m U of the transpose would be 12.8 GB).
TEST(BidiagonalQrTest, ThinSvdOfALongRowFormsNoSquareFactor) {
    const Matrix a = linalg_test::random_matrix(1, 40000, 12);
    const auto r = qr::svd_of_balanced(ArrayView<double, 2>::of(a.array()));
    ASSERT_TRUE(r.has_value());
    long double norm2 = 0;
    for (double x : a.data) norm2 += static_cast<long double>(x) * x;
    ASSERT_EQ(r->s.size(), 1u);
    EXPECT_NEAR(r->s[0], std::sqrt(static_cast<double>(norm2)), 64 * eps * r->s[0]);
    EXPECT_EQ(r->u.layout.shape, (std::array<std::uint64_t, 2>{1, 1}));
    EXPECT_EQ(r->v.layout.shape, (std::array<std::uint64_t, 2>{40000, 1}));
    for (std::size_t j = 0; j < 40000; j += 997) EXPECT_NEAR(r->v.storage.data[j] * r->s[0] * r->u.storage.data[0], a.data[j], 64 * eps * r->s[0]);
}

TEST(BidiagonalQrTest, TallShapeMismatch) {
    const auto r = qr::svd_tall(ArrayView<double, 2>::of(Matrix{2, 3, std::vector<double>(6, 1.0)}.array()));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(display(r.error()), "Shape mismatch: lhs [2, 3], rhs [3, 3]");
}

TEST(BidiagonalQrTest, Transposes) {
    EXPECT_EQ(qr::transpose_square(std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8, 9}, 3),
              (std::vector<double>{1, 4, 7, 2, 5, 8, 3, 6, 9}));
    EXPECT_THROW((void)qr::transpose_square(std::vector<double>(3), 2), InternalError);
    const Matrix a{2, 3, {1, 2, 3, 4, 5, 6}};
    const auto array = a.array();
    const auto t = qr::transpose_to_owned(ArrayView<double, 2>::of(array));
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(t->layout.shape, (std::array<std::uint64_t, 2>{3, 2}));
    EXPECT_EQ(t->storage.data, (std::vector<double>{1, 4, 2, 5, 3, 6}));
    // A strided view (the transpose) is read element by element.
    ArrayView<double, 2> strided = ArrayView<double, 2>::of(array);
    strided.layout = *strided.layout.transpose({1, 0});
    const auto back = qr::transpose_to_owned(strided);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->storage.data, a.data);
}

TEST(BidiagonalQrTest, SvdBound) {
    const struct {
        std::uint64_t m, n;
        std::int32_t r;
        std::uint64_t order;
        std::int32_t shift;
    } rows[] = {{1, 1, 0, 1, -2}, {2, 2, 1, 2, -4}, {0, 5, 0, 1, -4}, {1000, 3, 2, 3, -9}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.m << "x" << row.n);
        const auto terms = qr::svd_bound(row.m, row.n, row.r);
        EXPECT_EQ(terms.order, row.order);
        EXPECT_EQ(terms.hi_shift, row.shift);
    }
}

}  // namespace
