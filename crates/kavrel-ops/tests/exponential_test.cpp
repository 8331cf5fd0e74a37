#include "kavrel_ops/application/linalg/matrix_function/exponential.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "linalg_test_support.hpp"

namespace {

using namespace linalg_test;
namespace detail = kavrel_ops::application::linalg::matrix_function::exponential::detail;

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
    EXPECT_EQ(in_place->data(), a.v.data());
    for (Placement p : all_placements) {
        SCOPED_TRACE(name_of(p));
        const StridedCopy c = strided_copy(a, p);
        auto r = detail::finite_entries(c.view, copy);
        ASSERT_TRUE(r);
        EXPECT_EQ(std::vector<double>(r->begin(), r->end()), a.v);
    }
}

TEST(ExponentialTest, Identity) {
    const auto i = detail::identity(3);
    EXPECT_EQ(std::vector<double>(i.data(), i.data() + i.len()), identity(3).v);
    EXPECT_EQ(detail::identity(0).len(), 0u);
}

}  // namespace
