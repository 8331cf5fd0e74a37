#include "kavrel_ops/application/matrix/types.hpp"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "kavrel/domain/error/error.hpp"

namespace {

using kavrel::application::view::immutable::ArrayView;
using kavrel::application::view::mutable_core::ArrayViewMut;
using kavrel::domain::error::display;
using kavrel::domain::layout::Layout;
using kavrel_ops::application::matrix::types::MatmulDims;
using kavrel_ops::application::matrix::types::validate_matmul;

static_assert(std::is_trivially_copyable_v<MatmulDims>);
static_assert(sizeof(MatmulDims) == 12 * 8, "twelve 64-bit fields, no pointers");

const std::string shared_text =
    "Storage error: matmul output must exclusively own its storage window (interleaved iterator-yielded sub-views are "
    "rejected)";
const std::string aliasing_text = "Storage error: matmul output layout must be injective (no aliasing)";

std::vector<float> storage(64, 1.0f);

ArrayView<float, 2> in(Layout<2> l, std::uint64_t len = 64) { return {storage.data(), len, l}; }
ArrayViewMut<float, 2> out(Layout<2> l, std::uint64_t len = 64, std::uint8_t shared = 0) {
    return {storage.data(), l, len, shared};
}

std::string storage_text(const Layout<2>& l, std::uint64_t len) {
    auto r = kavrel::domain::layout::kernels::validate_storage(l.shape, l.strides, l.offset, len);
    return r ? std::string("(fits)") : display(r.error());
}

struct Case {
    const char* name;
    ArrayView<float, 2> a;
    ArrayView<float, 2> b;
    ArrayViewMut<float, 2> c;
    std::string expected;  // display text; empty: success
};

// Each row breaks its check and every later one, so the row shows that its check comes first.
TEST(MatmulValidationTest, FirstFailingCheckWinsInOrder) {
    const Layout<2> a23{{2, 3}, {3, 1}, 0}, b34{{3, 4}, {4, 1}, 0}, c24{{2, 4}, {4, 1}, 0};
    const Layout<2> a_beyond{{2, 3}, {3, 1}, 60};  // reaches 65 of 64
    const Layout<2> b_beyond{{3, 4}, {4, 1}, 60};
    const Layout<2> c_beyond{{2, 4}, {4, 1}, 60};
    const Layout<2> c_alias{{2, 4}, {0, 1}, 0};
    const Layout<2> c_alias_beyond{{2, 4}, {0, 1}, 61};
    const Case cases[] = {
        {"inner extents differ", in({{2, 3}, {3, 1}, 60}), in({{4, 5}, {5, 1}, 60}), out(c_beyond, 64, 1),
         "Shape mismatch: lhs [2, 3], rhs [4, 5]"},
        {"only C's rows differ: A and B named", in(a23), in(b34), out({{3, 4}, {4, 1}, 0}),
         "Shape mismatch: lhs [2, 3], rhs [3, 4]"},
        {"only C's columns differ", in(a23), in(b34), out({{2, 5}, {5, 1}, 0}), "Shape mismatch: lhs [2, 3], rhs [3, 4]"},
        {"A's storage before B's and C's", in(a_beyond), in(b_beyond), out(c_alias_beyond, 64, 1),
         storage_text(a_beyond, 64)},
        {"B's storage before C's", in(a23), in(b_beyond), out(c_alias_beyond, 64, 1), storage_text(b_beyond, 64)},
        {"shared window before C's storage", in(a23), in(b34), out(c_alias_beyond, 64, 1), shared_text},
        {"C's storage before aliasing", in(a23), in(b34), out(c_alias_beyond), storage_text(c_alias_beyond, 64)},
        {"aliasing rows", in(a23), in(b34), out(c_alias), aliasing_text},
        {"row stride 0, two rows, one column", in({{2, 3}, {3, 1}, 0}), in({{3, 1}, {1, 1}, 0}),
         out({{2, 1}, {0, 1}, 0}), aliasing_text},
        {"no rows: any strides pass", in({{0, 3}, {0, 0}, 99}), in(b34), out({{0, 4}, {0, 0}, 99}), ""},
        {"no columns", in(a23), in({{3, 0}, {7, 7}, 0}), out({{2, 0}, {0, 0}, 500}), ""},
        {"valid", in(a23), in(b34), out(c24), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = validate_matmul(c.a, c.b, c.c);
        if (c.expected.empty()) {
            EXPECT_TRUE(r.has_value()) << display(r.error());
        } else {
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(display(r.error()), c.expected);
        }
    }
}

TEST(MatmulValidationTest, DimsCarryExtentsStridesAndOffsetsInOrder) {
    std::vector<double> buffer(200);
    const ArrayView<double, 2> a{buffer.data(), 200, {{2, 3}, {1, 2}, 7}};
    const ArrayView<double, 2> b{buffer.data(), 200, {{3, 4}, {-4, 1}, 40}};
    const ArrayViewMut<double, 2> c{buffer.data(), {{2, 4}, {9, 2}, 100}, 200, 0};
    const auto d = validate_matmul(a, b, c);
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->m, 2u);
    EXPECT_EQ(d->k, 3u);
    EXPECT_EQ(d->n, 4u);
    EXPECT_EQ(d->a_row_stride, 1);
    EXPECT_EQ(d->a_col_stride, 2);
    EXPECT_EQ(d->b_row_stride, -4);
    EXPECT_EQ(d->b_col_stride, 1);
    EXPECT_EQ(d->c_row_stride, 9);
    EXPECT_EQ(d->c_col_stride, 2);
    EXPECT_EQ(d->a_offset, 7u);
    EXPECT_EQ(d->b_offset, 40u);
    EXPECT_EQ(d->c_offset, 100u);
}

}  // namespace
