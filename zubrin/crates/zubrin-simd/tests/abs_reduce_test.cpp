#include "zubrin_simd/dispatch/abs_reduce.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "kernel_test_support.hpp"

namespace {

using namespace kernel_test;
namespace das = zubrin_simd::dispatch::abs_reduce::dispatch_abs_sum;
namespace dam = zubrin_simd::dispatch::abs_reduce::dispatch_abs_max;

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

struct AbsVariant {
    const char* name;
    bool (*available)();
    double (*abs_sum)(std::span<const double>) noexcept;
    double (*abs_max)(std::span<const double>) noexcept;
    double (*reference_abs_sum)(std::span<const double>);
};

const AbsVariant variants[] = {
    {"avx512f", has_avx512f, das::dispatch_abs_sum_avx512f, dam::dispatch_abs_max_avx512f,
     reference_abs_sum<double, 8>},
    {"avx2_fma", has_avx2_fma, das::dispatch_abs_sum_avx2_fma, dam::dispatch_abs_max_avx2_fma,
     reference_abs_sum<double, 4>},
};

class AbsReduceTest : public testing::TestWithParam<AbsVariant> {
protected:
    void SetUp() override {
        if (!GetParam().available()) GTEST_SKIP() << "CPU lacks " << GetParam().name;
    }
};

TEST_P(AbsReduceTest, AbsSumMatchesFixedOrder) {
    GuardedRegion region(8192 + 64);
    for (Inputs inputs : {Inputs::mixed, Inputs::specials, Inputs::subnormal}) {
        for (std::size_t n : sweep_lengths()) {
            const std::vector<double> values = make_inputs<double>(n, inputs, 11);
            for (std::size_t gap : end_gaps({1, 3})) {
                SCOPED_TRACE(testing::Message() << name_of(inputs) << " n " << n << " gap " << gap);
                std::span<double> x = region.place<double>(n, gap, 0.0);
                std::copy(values.begin(), values.end(), x.begin());
                EXPECT_TRUE(bits_equal(GetParam().abs_sum(x), GetParam().reference_abs_sum(values)));
            }
        }
    }
}

// The largest magnitude is exact, so the result must be the same bits on every variant.
TEST_P(AbsReduceTest, AbsMaxIsLargestMagnitude) {
    GuardedRegion region(8192 + 64);
    for (Inputs inputs : {Inputs::mixed, Inputs::subnormal}) {
        for (std::size_t n : sweep_lengths()) {
            std::vector<double> values = make_inputs<double>(n, inputs, 13);
            // Infinities and the largest finite value must win wherever they sit.
            if (n > 5) values[n / 2] = -std::numeric_limits<double>::max();
            if (n > 9) values[n - 1] = (n % 2 == 0) ? -inf : inf;
            for (std::size_t gap : end_gaps({1, 3})) {
                SCOPED_TRACE(testing::Message() << name_of(inputs) << " n " << n << " gap " << gap);
                std::span<double> x = region.place<double>(n, gap, 0.0);
                std::copy(values.begin(), values.end(), x.begin());
                const double result = GetParam().abs_max(x);
                EXPECT_TRUE(bits_equal(result, reference_abs_max(values)));
                EXPECT_FALSE(std::signbit(result));
            }
        }
    }
}

// Any NaN gives NaN, wherever it sits: in a block lane, a remaining vector or the tail, alone
// or among others, before or after larger values.
TEST_P(AbsReduceTest, AbsMaxNaNAnywhereGivesNaN) {
    for (std::size_t n : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 40, 63, 64, 65}) {
        for (std::size_t at = 0; at < n; ++at) {
            SCOPED_TRACE(testing::Message() << "n " << n << " NaN at " << at);
            std::vector<double> values = make_inputs<double>(n, Inputs::mixed, 17);
            values[0] = 1e300;
            values[at] = (at % 2 == 0) ? nan_value : -nan_value;
            EXPECT_TRUE(std::isnan(GetParam().abs_max(values)));
        }
    }
}

TEST_P(AbsReduceTest, AbsMaxEdgeCases) {
    struct Row {
        const char* name;
        std::vector<double> x;
        double expected;
    };
    const Row rows[] = {
        {"empty", {}, 0.0},
        {"negative zero", {-0.0}, 0.0},
        {"minus three then NaN (tail only)", {-3.0, nan_value}, nan_value},
        {"NaN in lane 0 of a second vector", {5, 1, 1, 1, 1, 1, 1, 1, nan_value, 1, 1, 1, 1, 1, 1, 1}, nan_value},
        {"four NaN", std::vector<double>(4, nan_value), nan_value},
        {"eight NaN", std::vector<double>(8, nan_value), nan_value},
        {"nine NaN", std::vector<double>(9, nan_value), nan_value},
        {"all NaN, 64", std::vector<double>(64, nan_value), nan_value},
        {"subnormal only", {-std::numeric_limits<double>::denorm_min() * 3, std::numeric_limits<double>::denorm_min()},
         std::numeric_limits<double>::denorm_min() * 3},
        {"NaN next to infinity", {inf, nan_value, -inf}, nan_value},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(bits_equal(GetParam().abs_max(row.x), row.expected));
    }
}

// Every NaN comes out as the one quiet NaN, so the bits never depend on payloads or positions.
TEST_P(AbsReduceTest, AbsMaxNaNIsTheCanonicalQuietNaN) {
    const double signalling = std::numeric_limits<double>::signaling_NaN();
    const double payload = std::bit_cast<double>(std::uint64_t{0xFFF8'0000'0000'1234});
    for (double nan : {signalling, payload, -nan_value}) {
        std::vector<double> x(37, 2.0);
        x[20] = nan;
        EXPECT_EQ(bits_of(GetParam().abs_max(x)), bits_of(nan_value));
    }
}

TEST_P(AbsReduceTest, AbsSumEmptyIsPositiveZero) { EXPECT_TRUE(bits_equal(GetParam().abs_sum({}), 0.0)); }

INSTANTIATE_TEST_SUITE_P(Variants, AbsReduceTest, testing::ValuesIn(variants),
                         [](const testing::TestParamInfo<AbsVariant>& info) { return std::string(info.param.name); });

}  // namespace
