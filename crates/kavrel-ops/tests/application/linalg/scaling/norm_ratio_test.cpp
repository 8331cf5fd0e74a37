#include "kavrel_ops/application/linalg/scaling/norm_ratio.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

namespace nr = kavrel_ops::application::linalg::scaling::norm_ratio;

TEST(NormRatioTest, PairwiseSquares) {
    const std::vector<double> three_four = {3, 4};
    const nr::PairwiseSquares s = nr::pairwise_squares(three_four, 4);
    EXPECT_EQ(s.exponent, 0);
    EXPECT_EQ(s.mantissa, 1.5625);
    const nr::PairwiseSquares ones = nr::pairwise_squares(std::vector<double>(1000, 1.0), 1);
    EXPECT_EQ(ones.exponent, 9);
    EXPECT_EQ(ones.mantissa, 1.953125);
    // Entries whose squares overflow, and ones whose squares underflow, keep their exact sum.
    const nr::PairwiseSquares big = nr::pairwise_squares(std::vector<double>(1000, 1e300), 1e300);
    EXPECT_EQ(big.exponent, 9);
    EXPECT_EQ(big.mantissa, 1.953125);
    const nr::PairwiseSquares empty = nr::pairwise_squares({}, 1);
    EXPECT_EQ(empty.exponent, 0);
    EXPECT_EQ(empty.mantissa, 0.0);
}

TEST(NormRatioTest, RatioSumBoundAndAbsence) {
    const auto two = nr::RatioSum::of(std::vector<double>{3, 4}, 4);
    ASSERT_TRUE(two.has_value());
    EXPECT_EQ(two->bound, 0x1p-48);
    EXPECT_EQ(two->mantissa, 1.5625);
    EXPECT_EQ(two->exponent, 0);
    const auto thousand = nr::RatioSum::of(std::vector<double>(1000, 0.5), 1);
    ASSERT_TRUE(thousand.has_value());
    EXPECT_EQ(thousand->bound, 0x1p-46);
    EXPECT_FALSE(nr::RatioSum::of(std::vector<double>(5, 0.0), 1).has_value());
    EXPECT_FALSE(nr::RatioSum::of({}, 1).has_value());
    EXPECT_FALSE(nr::RatioSum::of(std::vector<double>{1, std::numeric_limits<double>::quiet_NaN()}, 1).has_value());
    EXPECT_FALSE(nr::RatioSum::of(std::vector<double>{1, std::numeric_limits<double>::infinity()}, 1).has_value());
}

TEST(NormRatioTest, NormRatioLog2Examples) {
    EXPECT_EQ(nr::norm_ratio_log2(std::vector<double>{3, 4}, 4), 1);
    EXPECT_EQ(nr::norm_ratio_log2(std::vector<double>(1000, 1.0), 1), 5);
    EXPECT_EQ(nr::norm_ratio_log2(std::vector<double>{7}, 7), 0);
    // Without a usable sum the cap stands: (ceil_log2(len) + 1) div 2.
    EXPECT_EQ(nr::norm_ratio_log2(std::vector<double>(1000, 0.0), 1), 5);
    EXPECT_EQ(nr::norm_ratio_log2({}, 1), 0);
    EXPECT_EQ(nr::half_ceil_log2(0), 0);
    EXPECT_EQ(nr::half_ceil_log2(2), 1);
    EXPECT_EQ(nr::half_ceil_log2(4), 1);
    EXPECT_EQ(nr::half_ceil_log2(5), 2);
}

// r bounds log2(‖x‖ / max|x|) from above by less than one and a half, whatever the scale.
TEST(NormRatioTest, NormRatioLog2IsATightUpperBound) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> unit(-1, 1);
    std::uniform_int_distribution<int> spread(0, 60);
    for (std::size_t n : {1u, 2u, 3u, 10u, 100u, 4097u}) {
        for (int scale_exp : {-1000, -200, 0, 200, 1000}) {
            std::vector<double> x(n);
            double amax = 0;
            for (double& xi : x) {
                xi = std::ldexp(unit(rng), scale_exp - spread(rng));
                amax = std::max(amax, std::fabs(xi));
            }
            long double sum = 0;
            for (double xi : x) sum += static_cast<long double>(xi / amax) * (xi / amax);
            const double ratio = 0.5 * std::log2(static_cast<double>(sum));
            const std::int32_t r = nr::norm_ratio_log2(x, amax);
            SCOPED_TRACE(testing::Message() << "n " << n << " scale 2^" << scale_exp << " r " << r);
            EXPECT_GE(r, ratio - 1e-12);
            EXPECT_LT(r, ratio + 1.5);
            EXPECT_LE(r, nr::half_ceil_log2(n));
        }
    }
}

}  // namespace
