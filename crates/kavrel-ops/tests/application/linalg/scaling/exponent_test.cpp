#include "kavrel_ops/application/linalg/scaling/exponent.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

namespace ex = kavrel_ops::application::linalg::scaling::exponent;

TEST(ExponentTest, Constants) {
    EXPECT_EQ(ex::eps, std::numeric_limits<double>::epsilon());
    EXPECT_EQ(ex::safmin(), std::numeric_limits<double>::min());
    EXPECT_EQ(ex::dbl_max(), std::numeric_limits<double>::max());
}

TEST(ExponentTest, IlogbIsTheLeadingBitAlsoForSubnormals) {
    struct Row {
        double x;
        int e;
    };
    const Row rows[] = {{1.0, 0},       {1.9999999999999998, 0}, {2.0, 1},      {-3.0, 1},
                        {0.75, -1},     {0x1p-1022, -1022},      {0x1p-1074, -1074}, {0x1.8p-1060, -1060},
                        {0x1p1023, 1023}, {std::numeric_limits<double>::max(), 1023}, {1e300, 996}};
    for (const Row& row : rows) EXPECT_EQ(ex::ilogb(row.x), row.e) << row.x;
}

TEST(ExponentTest, CeilLog2) {
    const std::pair<std::uint64_t, int> counts[] = {{0, 0}, {1, 0}, {2, 1}, {3, 2}, {4, 2}, {5, 3}, {1000, 10},
                                                    {1024, 10}, {1025, 11}, {~std::uint64_t{0}, 64}};
    for (auto [n, c] : counts) EXPECT_EQ(ex::ceil_log2(n), c) << n;
    const std::pair<double, int> values[] = {{1.0, 0},   {1.5, 1},        {2.0, 1},          {0.75, 0},
                                             {0.5, -1},  {0x1p-1074, -1074}, {5e-324 * 3, -1072}};
    for (auto [x, c] : values) EXPECT_EQ(ex::ceil_log2(x), c) << x;
}

TEST(ExponentTest, PowersOfTwoAreExactInsideTheRangeAndRoundedOnceOutside) {
    EXPECT_EQ(ex::scalbn(1e300, -996), 1e300 / std::ldexp(1.0, 996));
    EXPECT_EQ(ex::scalbn(0x1.8p-1000, -74), 0x1p-1073);  // 1.5·2^-1074 rounds once, to even
    EXPECT_EQ(ex::scalbn(0x1.8p-1000, -75), 0x1p-1074);  // 0.75·2^-1074: nearest
    EXPECT_EQ(ex::scalbn(0x1p-1074, 2097), 0x1p1023);    // from the bottom of the range to the top
    EXPECT_EQ(ex::scalbn(0x1p1023, -2097), 0x1p-1074);
    EXPECT_EQ(ex::scalbn(1.0, 1024), std::numeric_limits<double>::infinity());
    EXPECT_EQ(ex::scalbn(-0.0, 5), -0.0);
    EXPECT_TRUE(std::signbit(ex::scalbn(-0.0, 5)));
    std::vector<double> values = {3.0, -0.5, 0x1p-1060};
    ex::scale_by_power_of_two(values, 10);
    EXPECT_EQ(values, (std::vector<double>{3072.0, -512.0, 0x1p-1050}));
}

}  // namespace
