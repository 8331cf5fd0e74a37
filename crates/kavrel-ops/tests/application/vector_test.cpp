#include "kavrel_ops/application/vector.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"
#include "support/matrix.hpp"

namespace {

using kavrel::application::view::immutable::ArrayView;
using kavrel::domain::error::display;
using kavrel::domain::layout::Layout;
using kavrel_ops::application::vector::dot;
using Scalar = kavrel_ops::domain::scalar::contract::Scalar<float>;

TEST(VectorDotTest, UnitStridesAreOneDotSliceFromEachOffset) {
    for (std::uint64_t n : {0, 1, 7, 64, 1001}) {
        const auto values = matrix_test::uniform_values<float>(n + 10, static_cast<std::uint32_t>(n));
        const ArrayView<float, 1> a{values.data(), values.size(), {{n}, {1}, 3}};
        const ArrayView<float, 1> b{values.data(), values.size(), {{n}, {1}, 10}};
        const auto r = dot(a, b);
        ASSERT_TRUE(r.has_value());
        const float want = Scalar::dot_slice(std::span<const float>(values).subspan(3, n),
                                             std::span<const float>(values).subspan(10, n));
        EXPECT_TRUE(matrix_test::same_bits(*r, want)) << n;
    }
}

// Any other strides: products and sums rounded to float separately, in index order, from +0.
TEST(VectorDotTest, StridedLoopRoundsEachStepInOrder) {
    const auto values = matrix_test::uniform_values<float>(200, 3);
    struct Row {
        Layout<1> a, b;
    };
    for (const Row& r : {Row{{{50}, {2}, 1}, {{50}, {1}, 100}}, Row{{{60}, {-3}, 190}, {{60}, {-1}, 70}},
                         Row{{{40}, {0}, 5}, {{40}, {4}, 0}}, Row{{{0}, {-7}, 3}, {{0}, {5}, 999}}}) {
        const ArrayView<float, 1> a{values.data(), values.size(), r.a}, b{values.data(), values.size(), r.b};
        float want = 0.0f;
        for (std::uint64_t i = 0; i < r.a.shape[0]; ++i) {
            const float product = values[r.a.offset + i * r.a.strides[0]] * values[r.b.offset + i * r.b.strides[0]];
            want = want + product;
        }
        const auto got = dot(a, b);
        ASSERT_TRUE(got.has_value());
        EXPECT_TRUE(matrix_test::same_bits(*got, want)) << *got << " vs " << want;
    }
}

TEST(VectorDotTest, OneElementIsItsProduct) {
    std::vector<float> values{0.0f, 3.0f, 0.0f, 0.0f, 1.0f / 3.0f};
    const ArrayView<float, 1> a{values.data(), 5, {{1}, {-9}, 1}}, b{values.data(), 5, {{1}, {17}, 4}};
    EXPECT_EQ(*dot(a, b), 3.0f * (1.0f / 3.0f));
}

TEST(VectorDotTest, ErrorsInOrder) {
    std::vector<float> values(8, 1.0f);
    const ArrayView<float, 1> three{values.data(), 8, {{3}, {1}, 0}}, four{values.data(), 8, {{4}, {1}, 0}};
    const ArrayView<float, 1> a_beyond{values.data(), 8, {{3}, {4}, 0}}, b_beyond{values.data(), 8, {{3}, {1}, 6}};
    struct Row {
        ArrayView<float, 1> a, b;
        std::string expected;
    };
    for (const Row& r : {Row{three, four, "Shape mismatch: lhs [3], rhs [4]"},
                         Row{a_beyond, b_beyond, "Storage error: storage length 8 does not cover layout physical offsets 0..=8"},
                         Row{three, b_beyond, "Storage error: storage length 8 does not cover layout physical offsets 6..=8"}}) {
        const auto got = dot(r.a, r.b);
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(display(got.error()), r.expected);
    }
}

}  // namespace
