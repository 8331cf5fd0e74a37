#include "kavrel_ops/application/linalg/schur/real_eigenvalues.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support/eigen.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/scaling/gate.hpp"
#include "kavrel_ops/application/linalg/schur.hpp"

namespace {

using eigen_test::Matrix;
using fennick::types::complex::Complex;
using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::display;
using kavrel::domain::error::Result;
using kavrel_ops::application::linalg::schur::francis_bound;
namespace gate = kavrel_ops::application::linalg::scaling::gate;
using kavrel_ops::application::linalg::schur::real_eigenvalues::eigenvalues;
using kavrel_ops::application::linalg::schur::real_eigenvalues::real_eigenvalues;

Result<std::vector<Complex>> run(const Matrix& a) {
    const auto array = a.array();
    return eigenvalues(ArrayView<double, 2>::of(array));
}

TEST(RealEigenvaluesTest, ReadOffTheQuasiTriangularMatrix) {
    // A standard complex block, a 2×2 block with real eigenvalues that is read as values only, a 1×1.
    const std::vector<double> t = {1, -4, 7, 7, 7, 1, 1, 7, 7, 7, 0, 0, 2, 1, 7, 0, 0, 1, 2, 7, 0, 0, 0, 0, 5};
    const std::vector<double> before = t;
    const auto v = real_eigenvalues(t, 5);
    ASSERT_EQ(v.size(), 5u);
    EXPECT_EQ(v[0].re, 1.0);
    EXPECT_EQ(v[0].im, 2.0);
    EXPECT_EQ(v[1].re, 1.0);
    EXPECT_EQ(v[1].im, -2.0);
    EXPECT_EQ(v[2].re, 3.0);
    EXPECT_EQ(v[3].re, 1.0);
    EXPECT_EQ(v[4].re, 5.0);
    for (int i = 2; i < 5; ++i) {
        EXPECT_EQ(v[i].im, 0.0);
        EXPECT_FALSE(std::signbit(v[i].im));
    }
    EXPECT_EQ(t, before);
}

TEST(RealEigenvaluesTest, WorkedExamples) {
    struct Row {
        const char* what;
        Matrix a;
        std::vector<Complex> expected;
        double tol;  // 0: exact
    };
    const double s3 = std::sqrt(3.0) / 2;
    const Row rows[] = {
        {"empty", Matrix{0, 0, {}}, {}, 0},
        {"one", eigen_test::square(1, {-2.5}), {{-2.5, 0}}, 0},
        {"huge one", eigen_test::square(1, {1e200}), {{1e200, 0}}, 0},
        {"real pair", eigen_test::square(2, {1, 2, 3, 4}), {{-0.3722813232690143, 0}, {5.372281323269014, 0}}, 1e-15},
        {"symmetric", eigen_test::square(2, {2, 1, 1, 2}), {{3, 0}, {1, 0}}, 0},
        {"rotation", eigen_test::square(3, {0, -1, 0, 1, 0, 0, 0, 0, 2}), {{0, 1}, {0, -1}, {2, 0}}, 0},
        {"cyclic", eigen_test::square(3, {0, 0, 1, 1, 0, 0, 0, 1, 0}), {{-0.5, s3}, {-0.5, -s3}, {1, 0}}, 1e-15},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const auto v = run(row.a);
        ASSERT_TRUE(v.has_value()) << display(v.error());
        ASSERT_EQ(v->size(), row.expected.size());
        for (std::size_t i = 0; i < v->size(); ++i) {
            if (row.tol == 0) {
                EXPECT_EQ((*v)[i].re, row.expected[i].re) << i;
                EXPECT_EQ((*v)[i].im, row.expected[i].im) << i;
            } else {
                EXPECT_NEAR((*v)[i].re, row.expected[i].re, row.tol) << i;
                EXPECT_NEAR((*v)[i].im, row.expected[i].im, row.tol) << i;
            }
        }
    }
}

// Pairs adjacent with the positive imaginary part first and equal real parts; the real parts sum
// to the trace and the imaginary parts to exactly 0; scaled inputs come back scaled exactly.
TEST(RealEigenvaluesTest, SpectrumInvariants) {
    for (std::uint64_t n : {4, 9, 30, 70}) {
        SCOPED_TRACE(n);
        const Matrix a = eigen_test::random_square(n, 23);
        const auto v = run(a);
        ASSERT_TRUE(v.has_value());
        double trace = 0, re = 0, im = 0;
        for (std::uint64_t i = 0; i < n; ++i) trace += a(i, i);
        for (std::size_t i = 0; i < v->size(); ++i) {
            re += (*v)[i].re;
            im += (*v)[i].im;
            if ((*v)[i].im > 0) {
                ASSERT_LT(i + 1, v->size());
                EXPECT_EQ((*v)[i + 1].re, (*v)[i].re);
                EXPECT_EQ((*v)[i + 1].im, -(*v)[i].im);
                ++i;
                re += (*v)[i].re;
                im += (*v)[i].im;
            } else {
                EXPECT_EQ((*v)[i].im, 0.0);
            }
        }
        EXPECT_NEAR(re, trace, 64.0 * n * eigen_test::eps);
        EXPECT_EQ(im, 0.0);

        // The gate runs the iteration on B·2^-k; the values of B are those of B·2^-k times 2^k.
        Matrix scaled = a;
        for (double& x : scaled.data) x = std::ldexp(x, 990);
        const auto array = scaled.array();
        const auto outcome = gate::balanced(ArrayView<double, 2>::of(array), francis_bound);
        ASSERT_TRUE(outcome.has_value());
        const int k = gate::exponent_of(*outcome);
        ASSERT_GT(k, 400);
        Matrix inside = scaled;
        for (double& x : inside.data) x = std::ldexp(x, -k);
        const auto w = run(scaled), u = run(inside);
        ASSERT_TRUE(w.has_value() && u.has_value());
        for (std::size_t i = 0; i < u->size(); ++i) {
            EXPECT_EQ((*w)[i].re, std::ldexp((*u)[i].re, k)) << i;
            EXPECT_EQ((*w)[i].im, std::ldexp((*u)[i].im, k)) << i;
        }
    }
}

TEST(RealEigenvaluesTest, Errors) {
    EXPECT_EQ(display(run(Matrix{3, 2, std::vector<double>(6, 1.0)}).error()), "Shape mismatch: lhs [3, 2], rhs [3, 3]");
    EXPECT_EQ(display(run(eigen_test::square(2, {1, 0, std::numeric_limits<double>::quiet_NaN(), 1})).error()),
              "Storage error: Hessenberg input contains a non-finite value");
    const double big = std::numeric_limits<double>::max() / 2;
    EXPECT_EQ(display(run(eigen_test::square(4, std::vector<double>(16, big))).error()),
              "Arithmetic overflow in layout calculations: eigenvalue exceeds the scalar range");
}

}  // namespace
