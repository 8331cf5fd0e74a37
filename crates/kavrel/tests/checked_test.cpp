#include "kavrel/domain/checked/arithmetic.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

namespace checked = kavrel::domain::checked;
constexpr std::int64_t i64_max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t i64_min = std::numeric_limits<std::int64_t>::min();
constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

static_assert(checked::add(2, 3) == 5);
static_assert(checked::magnitude(i64_min) == std::uint64_t{1} << 63);

TEST(CheckedArithmeticTest, ResultsFitOrAreAbsent) {
    EXPECT_EQ(checked::add(i64_max - 1, std::int64_t{1}), i64_max);
    EXPECT_FALSE(checked::add(i64_max, std::int64_t{1}));
    EXPECT_FALSE(checked::sub(i64_min, std::int64_t{1}));
    EXPECT_EQ(checked::mul(std::uint64_t{1} << 32, (std::uint64_t{1} << 32) - 1), u64_max - (std::uint64_t{1} << 32) + 1);
    EXPECT_FALSE(checked::mul(std::uint64_t{1} << 32, std::uint64_t{1} << 32));
    // Mixed signedness into an explicit result type, as an address plus a negative span.
    EXPECT_EQ(checked::add<std::uint64_t>(std::uint64_t{100}, std::int64_t{-40}), 60u);
    EXPECT_FALSE(checked::add<std::uint64_t>(std::uint64_t{10}, std::int64_t{-40}));
    EXPECT_FALSE(checked::mul<std::int64_t>(std::uint64_t{1} << 63, std::int64_t{1}));
    // Both steps of a multiply-add.
    EXPECT_EQ(checked::mul_add(std::int64_t{3}, std::int64_t{-4}, std::int64_t{20}), 8);
    EXPECT_FALSE(checked::mul_add(i64_max, std::int64_t{2}, i64_min));
    EXPECT_FALSE(checked::mul_add(i64_max, std::int64_t{1}, std::int64_t{1}));
    // The 128-bit pair, which the layout's difference search sums in.
    constexpr __int128 i128_max = static_cast<__int128>(~static_cast<unsigned __int128>(0) >> 1);
    EXPECT_EQ(checked::mul_add(static_cast<__int128>(i64_max), static_cast<__int128>(i64_max), __int128{1}),
              static_cast<__int128>(i64_max) * i64_max + 1);
    EXPECT_FALSE(checked::add(i128_max, __int128{1}));
}

TEST(CheckedArithmeticTest, MagnitudeSaturationAndRunEnds) {
    EXPECT_EQ(checked::magnitude(-5), 5u);
    EXPECT_EQ(checked::magnitude(i64_max), static_cast<std::uint64_t>(i64_max));
    EXPECT_EQ(checked::saturating_mul(700, 12), 8400u);
    EXPECT_EQ(checked::saturating_mul(std::uint64_t{1} << 62, 12), u64_max);
    EXPECT_EQ(checked::saturating_mul(0, u64_max), 0u);
    EXPECT_EQ(checked::saturating_mul(u64_max, 2), u64_max);
    EXPECT_TRUE(checked::ends_within(6, 4, 10));
    EXPECT_FALSE(checked::ends_within(7, 4, 10));
    EXPECT_FALSE(checked::ends_within(u64_max, 2, u64_max));  // the end wraps to 1
    EXPECT_TRUE(checked::ends_within(u64_max, 0, u64_max));
}

}  // namespace
