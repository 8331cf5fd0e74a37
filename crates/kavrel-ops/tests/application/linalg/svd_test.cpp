#include "kavrel_ops/application/linalg/svd.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "support/linalg.hpp"

namespace {

namespace svd = kavrel_ops::application::linalg::svd;
namespace svd_qr = kavrel_ops::application::linalg::svd::bidiagonal_qr;
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

// Inside the gate's window the drivers run on the input as it stands: their bits.
TEST(SvdTest, BalancedLeavesOrdinaryInputToTheDrivers) {
    for (const Matrix& a : {linalg_test::random_matrix(7, 4, 3), linalg_test::random_matrix(3, 6, 4)}) {
        SCOPED_TRACE(testing::Message() << a.rows << "x" << a.cols);
        const auto balanced = svd::svd_balanced(linalg_test::view_of(a));
        const auto plain = svd_qr::svd_of_balanced(linalg_test::view_of(a));
        ASSERT_TRUE(balanced.has_value() && plain.has_value());
        EXPECT_EQ(balanced->s, plain->s);
        EXPECT_EQ(balanced->u.storage.data, plain->u.storage.data);
        EXPECT_EQ(balanced->v.storage.data, plain->v.storage.data);
        const auto values = svd::singular_values_balanced(linalg_test::view_of(a));
        ASSERT_TRUE(values.has_value());
        EXPECT_EQ(*values, *svd_qr::singular_values_of_balanced(linalg_test::view_of(a)));
    }
}

// Near either end of the range a scaled copy is decomposed: U and V are those of the matrix at
// unit scale, and the singular values are its values times the same power of two.
TEST(SvdTest, BalancedValuesFollowAPowerOfTwoScale) {
    for (const Matrix& a : {linalg_test::random_matrix(6, 4, 7), linalg_test::random_matrix(4, 5, 8)}) {
        linalg_test::expect_power_of_two_scale(
            a, {1000, 1021, -1000}, [](const Matrix& m) { return svd::svd_balanced(linalg_test::view_of(m)); },
            [](const svd_qr::SvdResult& r) {
                return linalg_test::ScaledParts{r.s, linalg_test::joined(r.u.storage.data, r.v.storage.data)};
            });
        linalg_test::expect_power_of_two_scale(
            a, {1000, 1021, -1000}, [](const Matrix& m) { return svd::singular_values_balanced(linalg_test::view_of(m)); },
            [](const std::vector<double>& values) { return linalg_test::ScaledParts{values, {}}; });
    }
    // One entry near the top per row and column: the values themselves, finite once scaled back.
    const Matrix diagonal{3, 3, {1e308, 0, 0, 0, -1.5e308, 0, 0, 0, 1e308}};
    EXPECT_EQ(*svd::singular_values_balanced(linalg_test::view_of(diagonal)), (std::vector<double>{1.5e308, 1e308, 1e308}));
    EXPECT_EQ(svd::svd_balanced(linalg_test::view_of(diagonal))->s, (std::vector<double>{1.5e308, 1e308, 1e308}));
}

TEST(SvdTest, BalancedErrorsInOrder) {
    const std::string out_of_range = "Arithmetic overflow in layout calculations: singular value exceeds the scalar range";
    // σ₁ = 2e308 has no float64 value.
    const Matrix full{2, 2, std::vector<double>(4, 1e308)};
    EXPECT_EQ(display(svd::svd_balanced(linalg_test::view_of(full)).error()), out_of_range);
    EXPECT_EQ(display(svd::singular_values_balanced(linalg_test::view_of(full)).error()), out_of_range);
    // The input check comes first, so neither a NaN nor an empty matrix meets the gate.
    const Matrix bad{2, 2, {1e308, nan, 1, 1}};
    EXPECT_EQ(display(svd::svd_balanced(linalg_test::view_of(bad)).error()), "Storage error: SVD input contains a non-finite value");
    EXPECT_EQ(display(svd::singular_values_balanced(linalg_test::view_of(bad)).error()),
              "Storage error: SVD input contains a non-finite value");
    EXPECT_EQ(display(svd::singular_values_balanced(linalg_test::view_of(Matrix{0, 2, {}})).error()),
              "Shape mismatch: lhs [0, 2], rhs [1, 2]");
}

}  // namespace
