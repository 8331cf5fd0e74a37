#include "zubrin_simd/dispatch/dot.hpp"

#include <gtest/gtest.h>

#include <span>
#include <vector>

#include "kernel_test_support.hpp"

namespace {

using namespace kernel_test;
using zubrin_simd::dispatch::dot::DotResult;
using zubrin_simd::dispatch::dot::SimdError;
namespace dd = zubrin_simd::dispatch::dot::dispatch_dot;

struct DotVariant {
    const char* name;
    bool (*available)();
    DotResult<float> (*f32)(std::span<const float>, std::span<const float>) noexcept;
    DotResult<double> (*f64)(std::span<const double>, std::span<const double>) noexcept;
    float (*reference_f32)(std::span<const float>, std::span<const float>);
    double (*reference_f64)(std::span<const double>, std::span<const double>);
};

const DotVariant variants[] = {
    {"avx512f", has_avx512f, dd::dispatch_dot_avx512f, dd::dispatch_dot_avx512f, reference_dot<float, 16>,
     reference_dot<double, 8>},
    {"avx2_fma", has_avx2_fma, dd::dispatch_dot_avx2_fma, dd::dispatch_dot_avx2_fma, reference_dot<float, 8>,
     reference_dot<double, 4>},
};

class DotTest : public testing::TestWithParam<DotVariant> {
protected:
    void SetUp() override {
        if (!GetParam().available()) GTEST_SKIP() << "CPU lacks " << GetParam().name;
    }

    // Every length of the sweep, every input set, slices ending at a fault page and 1 or 3
    // elements before it (so the start addresses take every alignment).
    template <class T, class Kernel, class Reference>
    void check_against_reference(Kernel kernel, Reference reference) {
        GuardedRegion region_a(8192 + 64);
        GuardedRegion region_b(8192 + 64);
        for (Inputs inputs : {Inputs::mixed, Inputs::specials, Inputs::subnormal}) {
            for (std::size_t n : sweep_lengths()) {
                const std::vector<T> a_values = make_inputs<T>(n, inputs, 1);
                const std::vector<T> b_values = make_inputs<T>(n, inputs, 2);
                for (std::size_t gap : end_gaps({1, 3})) {
                    SCOPED_TRACE(testing::Message() << name_of(inputs) << " n " << n << " gap " << gap);
                    std::span<T> a = region_a.place<T>(n, gap, T(0));
                    std::span<T> b = region_b.place<T>(n, gap, T(0));
                    std::copy(a_values.begin(), a_values.end(), a.begin());
                    std::copy(b_values.begin(), b_values.end(), b.begin());
                    const auto result = kernel(std::span<const T>(a), std::span<const T>(b));
                    ASSERT_TRUE(result.has_value());
                    EXPECT_TRUE(bits_equal(*result, reference(a_values, b_values)));
                }
            }
        }
    }
};

TEST_P(DotTest, Float32MatchesFixedOrder) {
    check_against_reference<float>(GetParam().f32, GetParam().reference_f32);
}

TEST_P(DotTest, Float64MatchesFixedOrder) {
    check_against_reference<double>(GetParam().f64, GetParam().reference_f64);
}

TEST_P(DotTest, LengthMismatchIsStatusZero) {
    const std::vector<float> a(3, 1.0f), b(4, 1.0f);
    const auto f32 = GetParam().f32(a, b);
    ASSERT_FALSE(f32.has_value());
    EXPECT_EQ(f32.error(), SimdError::mismatch);
    const std::vector<double> c(0), d(1, 1.0);
    const auto f64 = GetParam().f64(c, d);
    ASSERT_FALSE(f64.has_value());
    EXPECT_EQ(f64.error(), SimdError::mismatch);
}

TEST_P(DotTest, EmptyAndSingleElement) {
    const auto empty = GetParam().f64({}, {});
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(bits_equal(*empty, 0.0));
    // One element: s = +0 and the tail lane is the product rounded once, so −0 comes out as +0.
    const double a[] = {-3.0}, b[] = {0.0};
    const auto single = GetParam().f64(std::span(a), std::span(b));
    ASSERT_TRUE(single.has_value());
    EXPECT_TRUE(bits_equal(*single, 0.0));
    const float c[] = {1.5f}, d[] = {-2.5f};
    EXPECT_TRUE(bits_equal(*GetParam().f32(std::span(c), std::span(d)), -3.75f));
}

INSTANTIATE_TEST_SUITE_P(Variants, DotTest, testing::ValuesIn(variants),
                         [](const testing::TestParamInfo<DotVariant>& info) { return std::string(info.param.name); });

// The inputs must be able to tell the orders apart, or the comparisons above prove nothing.
TEST(DotReferenceTest, MixedInputsSeparateTheLaneCounts) {
    bool f32_differs = false, f64_differs = false;
    for (std::size_t n : {255, 257, 1000, 1025}) {
        const auto a32 = make_inputs<float>(n, Inputs::mixed, 1), b32 = make_inputs<float>(n, Inputs::mixed, 2);
        const auto a64 = make_inputs<double>(n, Inputs::mixed, 1), b64 = make_inputs<double>(n, Inputs::mixed, 2);
        f32_differs |= !same_bits(reference_dot<float, 16>(a32, b32), reference_dot<float, 8>(a32, b32));
        f64_differs |= !same_bits(reference_dot<double, 8>(a64, b64), reference_dot<double, 4>(a64, b64));
    }
    EXPECT_TRUE(f32_differs);
    EXPECT_TRUE(f64_differs);
}

// The spelled-out order for 33 float64 elements with eight lanes: the first block's plain
// products, C = ((A0 + A1) + A2) + A3, the halving sum, then the 33rd product.
TEST(DotReferenceTest, ThirtyThreeElementsOrder) {
    const auto a = make_inputs<double>(33, Inputs::mixed, 5), b = make_inputs<double>(33, Inputs::mixed, 6);
    double c[8];
    for (int l = 0; l < 8; ++l) {
        c[l] = ((a[l] * b[l] + a[8 + l] * b[8 + l]) + a[16 + l] * b[16 + l]) + a[24 + l] * b[24 + l];
    }
    const double s = ((c[0] + c[4]) + (c[2] + c[6])) + ((c[1] + c[5]) + (c[3] + c[7]));
    EXPECT_TRUE(bits_equal(reference_dot<double, 8>(a, b), s + std::fma(a[32], b[32], 0.0)));
}

}  // namespace
