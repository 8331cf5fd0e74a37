#include "zubrin_simd_core/view/simd_view.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

using zubrin_simd_core::error::SimdError;
using zubrin_simd_core::view::simd_view::check_lengths_equal;
using zubrin_simd_core::view::simd_view::check_output_length;

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();

static_assert(static_cast<std::uint8_t>(SimdError::success) == 0xFF);
static_assert(static_cast<std::uint8_t>(SimdError::mismatch) == 0);
static_assert(static_cast<std::uint8_t>(SimdError::output_too_short) == 3);

TEST(SimdViewTest, LengthsEqual) {
    struct Row {
        std::uint64_t a, b;
        SimdError expected;
    };
    const Row rows[] = {
        {0, 0, SimdError::success},         {7, 7, SimdError::success},
        {3, 4, SimdError::mismatch},        {4, 3, SimdError::mismatch},
        {max_u64, max_u64, SimdError::success}, {max_u64, 0, SimdError::mismatch},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "a_len " << row.a << " b_len " << row.b);
        EXPECT_EQ(check_lengths_equal(row.a, row.b), row.expected);
    }
}

TEST(SimdViewTest, OutputLength) {
    struct Row {
        std::uint64_t needed, out;
        SimdError expected;
    };
    const Row rows[] = {
        {5, 4, SimdError::output_too_short}, {5, 5, SimdError::success},  {5, 9, SimdError::success},
        {0, 0, SimdError::success},          {max_u64, max_u64 - 1, SimdError::output_too_short},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "needed " << row.needed << " out_len " << row.out);
        EXPECT_EQ(check_output_length(row.needed, row.out), row.expected);
    }
}

}  // namespace
