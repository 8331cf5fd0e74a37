#include "kavrel_ops/application/linalg/matrix_function/exponential.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/linalg.hpp"

namespace {

using namespace linalg_test;
namespace exponential = kavrel_ops::application::linalg::matrix_function::exponential;
namespace detail = exponential::detail;
using exponential::matrix_exponential;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(ExponentialTest, PadeCoefficients) {
    const auto c = detail::pade_coefficients();
    const std::array<double, 7> expected = {1, 0.5, 0.11363636363636363, 0.01515151515151515, 0.0012626262626262625,
                                            6.313131313131313e-05, 1.503126503126503e-06};
    EXPECT_EQ(c, expected);
    // c3 and c4 are one ulp below the float64 values nearest 1/66 and 1/792.
    EXPECT_EQ(c[3], std::nextafter(1.0 / 66.0, 0.0));
    EXPECT_EQ(c[4], std::nextafter(1.0 / 792.0, 0.0));
}

TEST(ExponentialTest, ScalingExponent) {
    struct Case {
        double norm;
        int s;
    };
    const Case cases[] = {{0.0, 0}, {0.5, 0}, {0.6, 1}, {1.0, 1}, {1.0000001, 2}, {1e3, 11},
                          {std::ldexp(1.0, 1022), 1023}, {std::nextafter(std::ldexp(1.0, 1022), 0.0), 1023}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.norm);
        auto s = detail::scaling_exponent(c.norm);
        ASSERT_TRUE(s);
        EXPECT_EQ(*s, c.s);
    }
    for (double norm : {std::nextafter(std::ldexp(1.0, 1022), inf), std::ldexp(1.0, 1023), inf}) {
        SCOPED_TRACE(norm);
        auto s = detail::scaling_exponent(norm);
        ASSERT_FALSE(s);
        EXPECT_EQ(kavrel::domain::error::display(s.error()), "Storage error: matrix exponential scaling exponent overflow");
    }
}

TEST(ExponentialTest, InfinityNormIsTheLargestRowSum) {
    EXPECT_EQ(detail::infinity_norm(std::vector<double>{1, -2, 3, -4}, 2), 7.0);
    EXPECT_EQ(detail::infinity_norm(std::vector<double>{}, 0), 0.0);
    // One row sums past the float64 range.
    EXPECT_EQ(detail::infinity_norm(std::vector<double>{1e308, 1e308, 0, 0}, 2), inf);
}

TEST(ExponentialTest, FiniteEntries) {
    std::vector<double> copy;
    const ArrayView<double, 2> unreadable{nullptr, 6, Layout<2>{{2, 3}, {3, 1}, 0}};
    auto shape = detail::finite_entries(unreadable, copy);
    ASSERT_FALSE(shape);
    EXPECT_EQ(kavrel::domain::error::display(shape.error()), "Shape mismatch: lhs [2, 3], rhs [2, 2]");
    for (double bad : {nan, inf, -inf}) {
        const Matrix a(2, 2, {1, 2, bad, 4});
        auto r = detail::finite_entries(view_of(a), copy);
        ASSERT_FALSE(r);
        EXPECT_EQ(kavrel::domain::error::display(r.error()), "Storage error: matrix exponential requires finite entries");
    }
    // Row-major views are read in place, others copied in logical order.
    const Matrix a = random_matrix(3, 3, 1);
    auto in_place = detail::finite_entries(view_of(a), copy);
    ASSERT_TRUE(in_place);
    EXPECT_EQ(in_place->data(), a.data.data());
    for (Placement p : all_placements) {
        SCOPED_TRACE(name_of(p));
        const StridedCopy c = strided_copy(a, p);
        auto r = detail::finite_entries(c.view, copy);
        ASSERT_TRUE(r);
        EXPECT_EQ(std::vector<double>(r->begin(), r->end()), a.data);
    }
}

TEST(ExponentialTest, Identity) {
    const auto i = detail::identity(3);
    EXPECT_EQ(std::vector<double>(i.data(), i.data() + i.len()), identity(3).data);
    EXPECT_EQ(detail::identity(0).len(), 0u);
}

TEST(ExponentialTest, ZerosGiveExactlyTheIdentity) {
    for (std::size_t n : {1, 2, 7, 70}) {
        auto e = matrix_exponential(view_of(Matrix(n, n)));
        ASSERT_TRUE(e);
        EXPECT_EQ(elements(*e), identity(n).data);
    }
    auto empty = matrix_exponential(view_of(Matrix(0, 0)));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->layout.shape, (std::array<std::uint64_t, 2>{0, 0}));
}

// e^A = V·diag(e^w)·Vᵀ for a symmetric A = V·diag(w)·Vᵀ; here V is a Householder reflector
// I − 2·u·uᵀ/(uᵀu), exact in long double.
TEST(ExponentialTest, SymmetricMatrixAgainstItsEigendecomposition) {
    for (std::size_t n : {2, 5, 33, 80}) {
        for (double spread : {0.3, 3.0, 40.0}) {
            SCOPED_TRACE("n=" + std::to_string(n) + " spread=" + std::to_string(spread));
            const Matrix u = random_matrix(n, 1, n), w = random_matrix(n, 1, n + 1);
            long double uu = 0;
            for (double x : u.data) uu += static_cast<long double>(x) * x;
            Matrix a(n, n), expected(n, n);
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j) {
                    long double s = 0, t = 0;
                    for (std::size_t k = 0; k < n; ++k) {
                        const long double vik = (i == k) - 2.0L * u.data[i] * u.data[k] / uu;
                        const long double vjk = (j == k) - 2.0L * u.data[j] * u.data[k] / uu;
                        s += vik * (spread * w.data[k]) * vjk;
                        t += vik * std::exp(static_cast<long double>(spread * w.data[k])) * vjk;
                    }
                    a(i, j) = static_cast<double>(s);
                    expected(i, j) = static_cast<double>(t);
                }
            auto e = matrix_exponential(view_of(a));
            ASSERT_TRUE(e);
            // The input's own rounding is amplified by about ‖A‖ in the result.
            EXPECT_LE(distance(elements(*e), expected.data), 16.0 * n * eps * std::max(1.0, spread) * frobenius(expected));
        }
    }
}

TEST(ExponentialTest, OneElementFollowsTheScalingAndSquaringSteps) {
    // Every matrix is a scalar: each product one rounding, the LU inverse of [q] is 1/q.
    for (double x : {0.5, 0.6, -2.0, 7.25}) {
        SCOPED_TRACE(x);
        const int s = *detail::scaling_exponent(std::fabs(x));
        const auto c = detail::pade_coefficients();
        const double as = x * std::ldexp(1.0, -s), a2 = as * as, a4 = a2 * a2, a6 = a2 * a4;
        const double v = ((c[0] * 1.0 + c[2] * a2) + c[4] * a4) + c[6] * a6;
        const double u = as * ((c[1] * 1.0 + c[3] * a2) + c[5] * a4);
        double e = (1.0 / (v - u)) * (v + u);
        for (int i = 0; i < s; ++i) e = e * e;
        auto got = matrix_exponential(view_of(Matrix(1, 1, {x})));
        ASSERT_TRUE(got);
        EXPECT_EQ(got->data()[0], e);
        EXPECT_NEAR(e, std::exp(x), 64 * eps * std::exp(x) * std::max(1.0, std::fabs(x)));
    }
}

TEST(ExponentialTest, Failures) {
    struct Case {
        const char* name;
        Matrix a;
        std::string display;
    };
    const Case cases[] = {
        {"not square", Matrix(2, 3), "Shape mismatch: lhs [2, 3], rhs [2, 2]"},
        {"NaN", Matrix(2, 2, {1, 2, 3, nan}), "Storage error: matrix exponential requires finite entries"},
        {"row sum overflows", Matrix(2, 2, {1e308, 1e308, 0, 0}),
         "Storage error: matrix exponential scaling exponent overflow"},
        {"2^1023", Matrix(1, 1, {std::ldexp(1.0, 1023)}), "Storage error: matrix exponential scaling exponent overflow"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto e = matrix_exponential(view_of(c.a));
        ASSERT_FALSE(e);
        EXPECT_EQ(kavrel::domain::error::display(e.error()), c.display);
    }
    // 1023 halvings are accepted; the squarings overflow without an error.
    auto big = matrix_exponential(view_of(Matrix(1, 1, {std::ldexp(1.0, 1022)})));
    ASSERT_TRUE(big);
    EXPECT_FALSE(std::isfinite(big->data()[0]));
}

TEST(ExponentialTest, StridedViewsGiveTheDenseResult) {
    const Matrix a = random_matrix(9, 9, 4);
    auto dense = matrix_exponential(view_of(a));
    ASSERT_TRUE(dense);
    for (Placement p : all_placements) {
        SCOPED_TRACE(name_of(p));
        auto e = matrix_exponential(strided_copy(a, p).view);
        ASSERT_TRUE(e);
        EXPECT_EQ(elements(*e), elements(*dense));
    }
}

}  // namespace
