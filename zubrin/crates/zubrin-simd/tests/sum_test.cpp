#include "zubrin_simd/dispatch/sum.hpp"

#include <gtest/gtest.h>

#include <span>
#include <vector>

#include "kernel_test_support.hpp"

namespace {

using namespace kernel_test;
namespace ds = zubrin_simd::dispatch::sum::dispatch_sum;

struct SumVariant {
    const char* name;
    bool (*available)();
    float (*kernel)(std::span<const float>) noexcept;
    float (*reference)(std::span<const float>);
};

const SumVariant variants[] = {
    {"avx512f", has_avx512f, ds::dispatch_sum_avx512f, reference_sum<float, 16>},
    {"avx2_fma", has_avx2_fma, ds::dispatch_sum_avx2_fma, reference_sum<float, 8>},
};

class SumTest : public testing::TestWithParam<SumVariant> {
protected:
    void SetUp() override {
        if (!GetParam().available()) GTEST_SKIP() << "CPU lacks " << GetParam().name;
    }
};

TEST_P(SumTest, MatchesFixedOrder) {
    GuardedRegion region(4096 + 64);
    for (Inputs inputs : {Inputs::mixed, Inputs::specials, Inputs::subnormal}) {
        for (std::size_t n : sweep_lengths()) {
            const std::vector<float> values = make_inputs<float>(n, inputs, 7);
            for (std::size_t gap : end_gaps({1, 2, 3})) {
                SCOPED_TRACE(testing::Message() << name_of(inputs) << " n " << n << " gap " << gap);
                std::span<float> x = region.place<float>(n, gap, 0.0f);
                std::copy(values.begin(), values.end(), x.begin());
                EXPECT_TRUE(bits_equal(GetParam().kernel(x), GetParam().reference(values)));
            }
        }
    }
}

TEST_P(SumTest, EmptyIsPositiveZeroAndNegativeZerosSumToPositiveZero) {
    EXPECT_TRUE(bits_equal(GetParam().kernel({}), 0.0f));
    // Every accumulator starts from +0, and so does a short slice's halving sum.
    for (std::size_t n : {1, 7, 16, 64, 70}) {
        SCOPED_TRACE(n);
        const std::vector<float> zeros(n, -0.0f);
        EXPECT_TRUE(bits_equal(GetParam().kernel(zeros), 0.0f));
    }
}

TEST_P(SumTest, SixtyFourOnes) {
    const std::vector<float> ones(64, 1.0f);
    EXPECT_EQ(GetParam().kernel(ones), 64.0f);
}

INSTANTIATE_TEST_SUITE_P(Variants, SumTest, testing::ValuesIn(variants),
                         [](const testing::TestParamInfo<SumVariant>& info) { return std::string(info.param.name); });

TEST(SumReferenceTest, MixedInputsSeparateTheLaneCounts) {
    bool differs = false;
    for (std::size_t n : {255, 257, 1000, 1025}) {
        const auto x = make_inputs<float>(n, Inputs::mixed, 7);
        differs |= !same_bits(reference_sum<float, 16>(x), reference_sum<float, 8>(x));
    }
    EXPECT_TRUE(differs);
}

}  // namespace
