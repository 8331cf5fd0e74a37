#include "kavrel_ops/application/linalg/svd.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "linalg_test_support.hpp"

namespace {

namespace svd = kavrel_ops::application::linalg::svd;
using kavrel::domain::error::display;
using linalg_test::ArrayView;
using linalg_test::Matrix;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

TEST(SvdTest, ValidateInput) {
    struct Row {
        const char* name;
        Matrix a;
        std::string error;  // empty: accepted
    };
    const std::string non_finite = "Storage error: SVD input contains a non-finite value";
    const Row rows[] = {
        {"0x3", {0, 3, {}}, "Shape mismatch: lhs [0, 3], rhs [1, 3]"},
        {"2x0", {2, 0, {}}, "Shape mismatch: lhs [2, 0], rhs [2, 1]"},
        {"0x0", {0, 0, {}}, "Shape mismatch: lhs [0, 0], rhs [1, 1]"},
        {"NaN", {2, 2, {1, 2, nan, 4}}, non_finite},
        {"infinity", {1, 3, {1, -inf, 2}}, non_finite},
        {"finite", {2, 2, {1e308, -1e-320, 0, -0.0}}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const auto array = row.a.array();
        const auto r = svd::validate_input(ArrayView<double, 2>::of(array));
        if (row.error.empty()) {
            EXPECT_TRUE(r.has_value());
        } else {
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(display(r.error()), row.error);
        }
    }
    // A strided view is visited in logical order: the NaN is found through the transpose too.
    const auto array = Matrix{2, 3, {1, 2, 3, 4, 5, nan}}.array();
    ArrayView<double, 2> t = ArrayView<double, 2>::of(array);
    t.layout = *t.layout.transpose({1, 0});
    const auto r = svd::validate_input(t);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(display(r.error()), non_finite);
}

}  // namespace
