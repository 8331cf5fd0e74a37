#include "kavrel_ops/application/linalg/products/kronecker.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/linalg.hpp"

namespace {

using namespace linalg_test;
using kavrel_ops::application::linalg::products::kronecker::Array;
using kavrel_ops::application::linalg::products::kronecker::kronecker_product;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

// out(i·br + k, j·bc + l) = a(i, j)·b(k, l) by the definition.
Matrix reference(const Matrix& a, const Matrix& b) {
    Matrix out(a.rows * b.rows, a.cols * b.cols);
    for (std::size_t i = 0; i < a.rows; ++i)
        for (std::size_t j = 0; j < a.cols; ++j)
            for (std::size_t k = 0; k < b.rows; ++k)
                for (std::size_t l = 0; l < b.cols; ++l) out(i * b.rows + k, j * b.cols + l) = a(i, j) * b(k, l);
    return out;
}

TEST(KroneckerTest, MatchesTheDefinition) {
    for (auto [ar, ac, br, bc] : {std::array<std::size_t, 4>{1, 1, 1, 1}, {2, 3, 4, 1}, {3, 2, 2, 5}, {5, 4, 3, 3}}) {
        SCOPED_TRACE(std::to_string(ar) + "x" + std::to_string(ac) + " ⊗ " + std::to_string(br) + "x" + std::to_string(bc));
        const Matrix a = random_matrix(ar, ac, ar * 7 + ac), b = random_matrix(br, bc, br * 11 + bc);
        auto r = kronecker_product(view_of(a), view_of(b));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->layout.shape, (std::array<std::uint64_t, 2>{ar * br, ac * bc}));
        EXPECT_EQ(r->layout.strides, (std::array<std::int64_t, 2>{static_cast<std::int64_t>(ac * bc), 1}));
        EXPECT_EQ(elements(*r), reference(a, b).data);
    }
}

TEST(KroneckerTest, ZeroEntriesSkipOnlyBesideAFiniteB) {
    // Beside a finite b the blocks of zero entries are left as allocated, +0.0 whatever the signs;
    // beside an infinity or a NaN in b they are multiplied, 0·inf = NaN and −0·1 = −0 as in IEEE
    // arithmetic. A NaN entry of a is not zero: its block is NaN.
    struct Case {
        const char* name;
        Matrix a, b;
        std::vector<double> want;
    };
    const Case cases[] = {
        {"finite b", Matrix(1, 3, {0.0, -0.0, 2.0}), Matrix(1, 2, {1.0, -3.0}), {0.0, 0.0, 0.0, 0.0, 2.0, -6.0}},
        {"inf and NaN in b", Matrix(1, 3, {0.0, -0.0, 2.0}), Matrix(1, 2, {inf, nan}), {nan, nan, nan, nan, inf, nan}},
        {"inf beside finite entries", Matrix(1, 2, {-0.0, 1.0}), Matrix(1, 2, {inf, 1.0}), {nan, -0.0, inf, 1.0}},
        {"NaN entry of a", Matrix(1, 1, {nan}), Matrix(1, 2, {1.0, 0.0}), {nan, nan}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = kronecker_product(view_of(c.a), view_of(c.b));
        ASSERT_TRUE(r);
        const std::vector<double> out = elements(*r);
        ASSERT_EQ(out.size(), c.want.size());
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (std::isnan(c.want[i])) {
                EXPECT_TRUE(std::isnan(out[i])) << i;
            } else {
                EXPECT_EQ(std::bit_cast<std::uint64_t>(out[i]), std::bit_cast<std::uint64_t>(c.want[i])) << i;
            }
        }
    }
}

TEST(KroneckerTest, EmptyOperandsGiveEmptyShapes) {
    auto r = kronecker_product(view_of(Matrix(0, 3)), view_of(Matrix(2, 2, {1, 2, 3, 4})));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->layout.shape, (std::array<std::uint64_t, 2>{0, 6}));
    auto s = kronecker_product(view_of(Matrix(2, 2, {1, 2, 3, 4})), view_of(Matrix(3, 0)));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->layout.shape, (std::array<std::uint64_t, 2>{6, 0}));
    EXPECT_EQ(s->len(), 0u);
}

// Views of huge extents over one element (stride 0) or none: nothing is allocated before the
// products of the extents are tested.
ArrayView<double, 2> huge(std::uint64_t rows, std::uint64_t cols, const double* one) {
    return kavrel::domain::error::expect(
        ArrayView<double, 2>::from_parts(one, rows == 0 || cols == 0 ? 0 : 1, Layout<2>{{rows, cols}, {0, 0}, 0}),
        "test view");
}

TEST(KroneckerTest, OverflowingExtentsFailBeforeAnyAllocation) {
    const double one = 1.0;
    const std::uint64_t p32 = std::uint64_t{1} << 32, p33 = std::uint64_t{1} << 33;
    struct Case {
        const char* name;
        ArrayView<double, 2> a, b;
        std::string display;
    };
    const std::string prefix = "Arithmetic overflow in layout calculations: ";
    const Case cases[] = {
        {"rows 2^66", huge(p33, 0, &one), huge(p33, 0, &one), prefix + "kronecker output row count"},
        {"columns 2^66", huge(0, p33, &one), huge(0, p33, &one), prefix + "kronecker output column count"},
        {"elements 2^64", huge(p32, 1, &one), huge(1, p32, &one), prefix + "kronecker output element count"},
        // No element, but more rows than a signed 64-bit layout holds: the layout's overflow.
        {"empty with 2^63 + 2^32 rows", huge(p32, 0, &one), huge((std::uint64_t{1} << 31) + 1, 0, &one),
         prefix + "C-contiguous dimension conversion"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = kronecker_product(c.a, c.b);
        ASSERT_FALSE(r);
        EXPECT_EQ(kavrel::domain::error::display(r.error()), c.display);
    }
}

// An empty a and a b of 2^62 elements (one element read through stride 0): an empty result
// without a copy of b.
TEST(KroneckerTest, EmptyResultDoesNotCopyB) {
    const double one = 1.0;
    auto r = kronecker_product(huge(0, 3, &one), huge(std::uint64_t{1} << 31, std::uint64_t{1} << 31, &one));
    ASSERT_TRUE(r) << kavrel::domain::error::display(r.error());
    EXPECT_EQ(r->layout.shape, (std::array<std::uint64_t, 2>{0, std::uint64_t{3} << 31}));
    EXPECT_EQ(r->len(), 0u);
}

TEST(KroneckerTest, StorageOfAIsValidatedBeforeB) {
    std::vector<double> storage(5, 1.0);
    const ArrayView<double, 2> bad_a{storage.data(), 5, Layout<2>{{2, 3}, {3, 1}, 0}};
    const ArrayView<double, 2> bad_b{storage.data(), 5, Layout<2>{{3, 2}, {2, 1}, 0}};
    auto r = kronecker_product(bad_a, bad_b);
    ASSERT_FALSE(r);
    EXPECT_EQ(kavrel::domain::error::display(r.error()),
              "Storage error: storage length 5 does not cover layout physical offsets 0..=5");
    const Matrix ok(1, 1, {1});
    auto s = kronecker_product(view_of(ok), bad_b);
    ASSERT_FALSE(s);
    EXPECT_EQ(kavrel::domain::error::display(s.error()),
              "Storage error: storage length 5 does not cover layout physical offsets 0..=5");
}

TEST(KroneckerTest, StridedOperandsGiveTheDenseProduct) {
    const Matrix a = random_matrix(3, 4, 1), b = random_matrix(2, 5, 2);
    const std::vector<double> expected = reference(a, b).data;
    for (Placement pa : all_placements)
        for (Placement pb : all_placements) {
            SCOPED_TRACE(std::string(name_of(pa)) + " ⊗ " + name_of(pb));
            auto r = kronecker_product(strided_copy(a, pa).view, strided_copy(b, pb).view);
            ASSERT_TRUE(r);
            EXPECT_EQ(elements(*r), expected);
        }
}

}  // namespace
