#include "kavrel_ops/application/linalg/trace.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/linalg.hpp"

namespace {

using namespace linalg_test;
using kavrel::domain::error::display;
using kavrel_ops::application::linalg::trace::trace_of;

// The diagonal is added from 0.0 in increasing index, each sum rounded: 2^53 + 1 rounds back to
// 2^53 and the 1 is lost, while 1 − 2^53 is exact and keeps it; −0.0 alone sums to +0.0.
TEST(TraceTest, SumsTheDiagonalInOrder) {
    const double big = 0x1p53;
    const auto lost = trace_of(view_of(Matrix(3, 3, {big, 9, 9, 9, 1, 9, 9, 9, -big})));
    ASSERT_TRUE(lost);
    EXPECT_EQ(*lost, 0.0);
    const auto kept = trace_of(view_of(Matrix(3, 3, {1, 9, 9, 9, -big, 9, 9, 9, big})));
    ASSERT_TRUE(kept);
    EXPECT_EQ(*kept, 1.0);
    const auto zero = trace_of(view_of(Matrix(1, 1, {-0.0})));
    ASSERT_TRUE(zero);
    EXPECT_FALSE(std::signbit(*zero));
    const auto empty = trace_of(view_of(Matrix(0, 0)));
    ASSERT_TRUE(empty);
    EXPECT_EQ(*empty, 0.0);
    const auto nan = trace_of(view_of(Matrix(2, 2, {1, 0, 0, std::numeric_limits<double>::quiet_NaN()})));
    ASSERT_TRUE(nan);
    EXPECT_TRUE(std::isnan(*nan));
}

// Diagonal entries are reached through the strides: every placement gives the bits of the copy.
TEST(TraceTest, StridedViewsGiveTheTraceOfTheCopy) {
    const Matrix a = random_matrix(7, 7, 3);
    const auto dense = trace_of(view_of(a));
    ASSERT_TRUE(dense);
    for (Placement p : all_placements) {
        SCOPED_TRACE(name_of(p));
        const StridedCopy copy = strided_copy(a, p);
        const auto t = trace_of(copy.view);
        ASSERT_TRUE(t);
        EXPECT_EQ(*t, *dense);
    }
}

TEST(TraceTest, ShapeBeforeStorage) {
    const ArrayView<double, 2> unreadable{nullptr, 6, Layout<2>{{3, 2}, {2, 1}, 0}};
    const auto wide = trace_of(unreadable);
    ASSERT_FALSE(wide);
    EXPECT_EQ(display(wide.error()), "Shape mismatch: lhs [3, 2], rhs [3, 3]");
    std::vector<double> storage(3, 1.0);
    const ArrayView<double, 2> short_storage{storage.data(), 3, Layout<2>{{2, 2}, {2, 1}, 0}};
    const auto outside = trace_of(short_storage);
    ASSERT_FALSE(outside);
    EXPECT_EQ(display(outside.error()), "Storage error: storage length 3 does not cover layout physical offsets 0..=3");
}

}  // namespace
