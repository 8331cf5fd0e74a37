#include "kavrel_ops/application/linalg/bidiagonal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/bidiagonal/reduce.hpp"
#include "kavrel_ops/application/linalg/householder.hpp"
#include "support/svd.hpp"

namespace {

namespace bd = kavrel_ops::application::linalg::bidiagonal;
namespace hh = kavrel_ops::application::linalg::householder;
using kavrel::domain::error::display;
using linalg_test::ArrayView;
using linalg_test::Matrix;
using linalg_test::eps;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

ArrayView<double, 2> view_of(const linalg_test::Array<double, 2>& a) { return ArrayView<double, 2>::of(a); }

// U·B·Vᵀ = A, U and V orthogonal, B exactly zero off its two diagonals.
void expect_decomposes(const Matrix& a, const bd::BidiagonalDecomposition& r) {
    const Matrix u = linalg_test::matrix_of(r.u), b = linalg_test::matrix_of(r.b), v = linalg_test::matrix_of(r.v);
    ASSERT_EQ(u.rows, a.rows);
    ASSERT_EQ(u.cols, a.rows);
    ASSERT_EQ(b.rows, a.rows);
    ASSERT_EQ(b.cols, a.cols);
    ASSERT_EQ(v.rows, a.cols);
    ASSERT_EQ(v.cols, a.cols);
    for (std::uint64_t i = 0; i < b.rows; ++i)
        for (std::uint64_t j = 0; j < b.cols; ++j)
            if (j != i && j != i + 1) {
                ASSERT_EQ(b(i, j), 0.0) << i << ", " << j;
            }
    const double n = static_cast<double>(std::max<std::uint64_t>(a.rows, 1));
    EXPECT_LE(svd_test::orthonormality_error(u), 8 * n * eps);
    EXPECT_LE(svd_test::orthonormality_error(v), 8 * n * eps);
    const Matrix usv = linalg_test::multiply(linalg_test::multiply(u, b), linalg_test::transposed(v));
    double worst = 0;
    for (std::size_t i = 0; i < a.data.size(); ++i) worst = std::max(worst, std::fabs(usv.data[i] - a.data[i]));
    EXPECT_LE(worst, 8 * n * eps * std::max(linalg_test::max_abs(a), 1e-300));
}

TEST(BidiagonalTest, DecomposesTallAndSquareMatrices) {
    const std::pair<std::uint64_t, std::uint64_t> shapes[] = {{1, 1}, {2, 2}, {5, 3}, {7, 7}, {40, 17}, {33, 33}, {150, 140}};
    for (auto [m, n] : shapes) {
        SCOPED_TRACE(testing::Message() << m << "x" << n);
        const Matrix a = linalg_test::random_matrix(m, n, 100 + m * n);
        const auto r = bd::bidiagonalize(view_of(a.array()));
        ASSERT_TRUE(r.has_value());
        expect_decomposes(a, *r);
    }
}

TEST(BidiagonalTest, EdgeShapes) {
    // n = 0: U is the identity, B is m×0, V is 0×0.
    const auto empty = bd::bidiagonalize(view_of(Matrix{3, 0, {}}.array()));
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(linalg_test::matrix_of(empty->u).data, (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
    EXPECT_EQ(empty->b.layout.shape, (std::array<std::uint64_t, 2>{3, 0}));
    EXPECT_EQ(empty->v.layout.shape, (std::array<std::uint64_t, 2>{0, 0}));
    // 1×1: B = A, a negative entry stays negative.
    const auto one = bd::bidiagonalize(view_of(Matrix{1, 1, {-2.5}}.array()));
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->u.storage.data, std::vector<double>{1.0});
    EXPECT_EQ(one->b.storage.data, std::vector<double>{-2.5});
    EXPECT_EQ(one->v.storage.data, std::vector<double>{1.0});
    // A column already zero below the diagonal makes no reflector: U stays I, the sign is kept.
    const auto reduced = bd::bidiagonalize(view_of(Matrix{3, 1, {-4, 0, -0.0}}.array()));
    ASSERT_TRUE(reduced.has_value());
    EXPECT_EQ(reduced->u.storage.data, (std::vector<double>{1, 0, 0, 0, 1, 0, 0, 0, 1}));
    EXPECT_EQ(reduced->b.storage.data, (std::vector<double>{-4, 0, 0}));
}

TEST(BidiagonalTest, Errors) {
    // The shape is checked before the entries.
    const auto wide = bd::bidiagonalize(view_of(Matrix{2, 3, {1, nan, 3, 4, 5, 6}}.array()));
    ASSERT_FALSE(wide.has_value());
    EXPECT_EQ(display(wide.error()), "Shape mismatch: lhs [2, 3], rhs [3, 3]");
    for (double bad : {nan, inf, -inf}) {
        SCOPED_TRACE(bad);
        const auto r = bd::bidiagonalize(view_of(Matrix{3, 2, {1, 2, 3, 4, 5, bad}}.array()));
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(display(r.error()), "Storage error: bidiagonalization input contains a non-finite value");
        const auto kept = bd::bidiagonalize_keeping_left(view_of(Matrix{3, 2, {bad, 2, 3, 4, 5, 6}}.array()));
        ASSERT_FALSE(kept.has_value());
        EXPECT_EQ(display(kept.error()), display(r.error()));
    }
    const auto wide_values = bd::bidiagonal_diag_colmajor(view_of(Matrix{1, 2, {1, 2}}.array()));
    ASSERT_FALSE(wide_values.has_value());
    EXPECT_EQ(display(wide_values.error()), "Shape mismatch: lhs [1, 2], rhs [2, 2]");
}

TEST(BidiagonalTest, StridedViewGivesTheResultOfItsCopy) {
    // The transpose of a 6×9 array is a column-major 9×6 view.
    const Matrix base = linalg_test::random_matrix(6, 9, 5);
    const auto array = base.array();
    ArrayView<double, 2> t = view_of(array);
    t.layout = *t.layout.transpose({1, 0});
    const Matrix copy = linalg_test::transposed(base);
    const auto strided = bd::bidiagonalize(t);
    const auto dense = bd::bidiagonalize(view_of(copy.array()));
    ASSERT_TRUE(strided.has_value() && dense.has_value());
    EXPECT_EQ(strided->u.storage.data, dense->u.storage.data);
    EXPECT_EQ(strided->b.storage.data, dense->b.storage.data);
    EXPECT_EQ(strided->v.storage.data, dense->v.storage.data);
    const auto values_strided = bd::bidiagonal_diag_colmajor(t);
    const auto values_dense = bd::bidiagonal_diag_colmajor(view_of(copy.array()));
    ASSERT_TRUE(values_strided.has_value() && values_dense.has_value());
    EXPECT_EQ(values_strided->d, values_dense->d);
    EXPECT_EQ(values_strided->e, values_dense->e);
}

// Batching the accumulation changes no arithmetic: the factors equal those from applying each
// reflector to its accumulator right after it is made (more than 16 reflectors on each side).
TEST(BidiagonalTest, BatchedAccumulationMatchesImmediateApplication) {
    const std::uint64_t m = 45, n = 40;
    const Matrix a = linalg_test::random_matrix(m, n, 77);
    const auto r = bd::bidiagonalize(view_of(a.array()));
    ASSERT_TRUE(r.has_value());
    std::vector<double> w = a.data, u(m * m, 0.0), v(n * n, 0.0), work;
    for (std::uint64_t i = 0; i < m; ++i) u[i * m + i] = 1;
    for (std::uint64_t i = 0; i < n; ++i) v[i * n + i] = 1;
    for (std::uint64_t k = 0; k < n; ++k) {
        std::vector<double> column(m - k);
        for (std::uint64_t i = k; i < m; ++i) column[i - k] = w[i * n + k];
        if (const auto h = hh::reflector(column)) {
            hh::apply_left(*h, w, n, k, k, n, work);
            std::vector<double> full(m, 0.0);
            std::copy(h->v.begin(), h->v.end(), full.begin() + static_cast<std::ptrdiff_t>(k));
            bd::reduce::apply_reflectors_right(full, std::vector<double>{h->tau}, 1, u, m);
        }
        if (k + 1 >= n) continue;
        std::vector<double> row(w.begin() + static_cast<std::ptrdiff_t>(k * n + k + 1), w.begin() + static_cast<std::ptrdiff_t>(k * n + n));
        if (const auto g = hh::reflector(row)) {
            hh::apply_right(*g, w, n, k, m, k + 1);
            std::vector<double> full(n, 0.0);
            std::copy(g->v.begin(), g->v.end(), full.begin() + static_cast<std::ptrdiff_t>(k + 1));
            bd::reduce::apply_reflectors_right(full, std::vector<double>{g->tau}, 1, v, n);
        }
    }
    EXPECT_EQ(r->u.storage.data, u);
    EXPECT_EQ(r->v.storage.data, v);
    for (std::uint64_t i = 0; i < m; ++i)
        for (std::uint64_t j = 0; j < n; ++j)
            if (j == i || j == i + 1) {
                EXPECT_EQ(r->b.storage.data[i * n + j], w[i * n + j]) << i << ", " << j;
            }
}

// The variant that keeps the left reflectors reduces identically, and its reflectors give the
// leading columns of U up to rounding.
TEST(BidiagonalTest, KeepingLeftReflectorsMatchesTheFullReduction) {
    const std::pair<std::uint64_t, std::uint64_t> shapes[] = {{1, 1}, {6, 6}, {30, 7}, {50, 1}, {20, 19}};
    for (auto [m, n] : shapes) {
        SCOPED_TRACE(testing::Message() << m << "x" << n);
        const Matrix a = linalg_test::random_matrix(m, n, 9 + m);
        const auto full = bd::bidiagonalize(view_of(a.array()));
        const auto kept = bd::bidiagonalize_keeping_left(view_of(a.array()));
        ASSERT_TRUE(full.has_value() && kept.has_value());
        EXPECT_EQ(kept->b, full->b.storage.data);
        EXPECT_EQ(kept->v.storage.data, full->v.storage.data);
        const std::vector<double> ut = bd::reduce::leading_columns_transposed(kept->left, n);
        ASSERT_EQ(ut.size(), n * m);
        for (std::uint64_t j = 0; j < n; ++j)
            for (std::uint64_t r = 0; r < m; ++r)
                ASSERT_NEAR(ut[j * m + r], full->u.storage.data[r * m + j], 8 * m * eps) << "column " << j << " row " << r;
    }
}

TEST(BidiagonalTest, ValuesOnlyAgreesWithTheFullReduction) {
    const std::pair<std::uint64_t, std::uint64_t> shapes[] = {{1, 1}, {4, 4}, {9, 5}, {70, 70}, {130, 20}};
    for (auto [m, n] : shapes) {
        SCOPED_TRACE(testing::Message() << m << "x" << n);
        const Matrix a = linalg_test::random_matrix(m, n, 31 * m + n);
        const auto full = bd::bidiagonalize(view_of(a.array()));
        const auto values = bd::bidiagonal_diag_colmajor(view_of(a.array()));
        ASSERT_TRUE(full.has_value() && values.has_value());
        ASSERT_EQ(values->d.size(), n);
        ASSERT_EQ(values->e.size(), n);
        EXPECT_EQ(values->e[n - 1], 0.0);
        const Matrix b = linalg_test::matrix_of(full->b);
        const double scale = linalg_test::max_abs(a) * static_cast<double>(m);
        for (std::uint64_t k = 0; k < n; ++k) {
            EXPECT_NEAR(std::fabs(values->d[k]), std::fabs(b(k, k)), 16 * m * eps * scale) << k;
            if (k + 1 < n) {
                EXPECT_NEAR(std::fabs(values->e[k]), std::fabs(b(k, k + 1)), 16 * m * eps * scale) << k;
            }
        }
    }
}

TEST(BidiagonalTest, ValuesOnlyEdgeCases) {
    const auto empty = bd::bidiagonal_diag_colmajor(view_of(Matrix{4, 0, {}}.array()));
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->d.empty() && empty->e.empty());
    const auto one = bd::bidiagonal_diag_colmajor(view_of(Matrix{1, 1, {-3}}.array()));
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->d, std::vector<double>{-3});
    EXPECT_EQ(one->e, std::vector<double>{0});
    // Segments already reduced keep their entries and signs.
    const auto diag = bd::bidiagonal_diag_colmajor(view_of(Matrix{3, 3, {-2, 0, 0, 0, 5, 0, 0, 0, -7}}.array()));
    ASSERT_TRUE(diag.has_value());
    EXPECT_EQ(diag->d, (std::vector<double>{-2, 5, -7}));
    EXPECT_EQ(diag->e, (std::vector<double>{0, 0, 0}));
}

// Entries near 1e-200 and 1e+200 are rescaled inside the reflector generators: d and e stay
// finite and the squared sums neither overflow nor underflow.
TEST(BidiagonalTest, ExtremeMagnitudesStayFinite) {
    for (double scale : {1e-200, 1e200, 1e-300, 1e300}) {
        SCOPED_TRACE(scale);
        const Matrix a = linalg_test::random_matrix(12, 8, 4, scale);
        const Matrix unit = linalg_test::random_matrix(12, 8, 4);
        const auto values = bd::bidiagonal_diag_colmajor(view_of(a.array()));
        const auto reference = bd::bidiagonal_diag_colmajor(view_of(unit.array()));
        const auto full = bd::bidiagonalize(view_of(a.array()));
        ASSERT_TRUE(values.has_value() && reference.has_value() && full.has_value());
        for (std::uint64_t k = 0; k < 8; ++k) {
            ASSERT_TRUE(std::isfinite(values->d[k]) && std::isfinite(values->e[k]));
            EXPECT_NEAR(values->d[k] / scale, reference->d[k], 1e-12) << k;
            EXPECT_NEAR(values->e[k] / scale, reference->e[k], 1e-12) << k;
            EXPECT_NEAR(std::fabs(full->b.storage.data[k * 9] / scale), std::fabs(reference->d[k]), 1e-12) << k;
        }
    }
}

// Inside the gate's window the input is reduced as it stands: bidiagonalize's bits.
TEST(BidiagonalTest, BalancedLeavesOrdinaryInputToTheReduction) {
    const Matrix a = linalg_test::graded(6, 8);
    const auto balanced = bd::bidiagonalize_balanced(view_of(a.array()));
    const auto plain = bd::bidiagonalize(view_of(a.array()));
    ASSERT_TRUE(balanced.has_value() && plain.has_value());
    EXPECT_EQ(balanced->u.storage.data, plain->u.storage.data);
    EXPECT_EQ(balanced->b.storage.data, plain->b.storage.data);
    EXPECT_EQ(balanced->v.storage.data, plain->v.storage.data);
}

// Near either end of the range a scaled copy is reduced: U and V are those of the matrix at unit
// scale, and B is its B times the same power of two.
TEST(BidiagonalTest, BalancedFactorsFollowAPowerOfTwoScale) {
    linalg_test::expect_power_of_two_scale(
        linalg_test::random_matrix(7, 5, 12), {1015, 1021, -1000},
        [](const Matrix& m) { return bd::bidiagonalize_balanced(linalg_test::view_of(m)); },
        [](const bd::BidiagonalDecomposition& d) {
            return linalg_test::ScaledParts{d.b.storage.data, linalg_test::joined(d.u.storage.data, d.v.storage.data)};
        });
}

TEST(BidiagonalTest, BalancedErrors) {
    // The first column's norm 2·(DBL_MAX/1.5) has no float64 value once B is scaled back.
    const double big = std::numeric_limits<double>::max() / 1.5;
    const auto out_of_range = bd::bidiagonalize_balanced(view_of(Matrix{4, 2, std::vector<double>(8, big)}.array()));
    ASSERT_FALSE(out_of_range.has_value());
    EXPECT_EQ(display(out_of_range.error()), "Arithmetic overflow in layout calculations: B entry exceeds the scalar range");
    // The shape is the reduction's own test, made after the gate has read (and here scaled) the entries.
    const auto wide = bd::bidiagonalize_balanced(view_of(Matrix{2, 3, {1e308, 1, 1, 1, 1, 1}}.array()));
    ASSERT_FALSE(wide.has_value());
    EXPECT_EQ(display(wide.error()), "Shape mismatch: lhs [2, 3], rhs [3, 3]");
    const auto bad = bd::bidiagonalize_balanced(view_of(Matrix{2, 1, {1e308, nan}}.array()));
    ASSERT_FALSE(bad.has_value());
    EXPECT_EQ(display(bad.error()), "Storage error: bidiagonalization input contains a non-finite value");
}

}  // namespace
