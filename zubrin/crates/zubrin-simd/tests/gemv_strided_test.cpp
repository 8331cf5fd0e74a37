#include "zubrin_simd/dispatch/gemv_strided.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "kernel_test_support.hpp"

namespace {

using namespace kernel_test;
using zubrin_simd::dispatch::gemv_strided::SimdError;
namespace dg = zubrin_simd::dispatch::gemv_strided::dispatch_gemv_strided;

using GemvKernel = SimdError (*)(std::span<const double>, std::span<const double>, std::span<double>, std::uint64_t,
                                 std::uint64_t, std::uint64_t) noexcept;
using GemvReference = void (*)(std::span<const double>, std::span<const double>, std::span<double>, std::size_t,
                               std::size_t, std::size_t);

struct GemvVariant {
    const char* name;
    bool (*available)();
    GemvKernel kernel;
    GemvReference reference;
};

const GemvVariant variants[] = {
    {"avx512f", has_avx512f, dg::dispatch_gemv_strided_avx512f, reference_gemv<8>},
    {"avx2_fma", has_avx2_fma, dg::dispatch_gemv_strided_avx2_fma, reference_gemv<4>},
};

// Rows around the group of four; columns around the vector widths (4, 8) and the two-vector
// steps (8, 16); row strides equal to, one and three past the column count.
const std::size_t row_counts[] = {0, 1, 2, 3, 4, 5, 7, 8, 9};
const std::size_t col_counts[] = {0,  1,  2,  3,  4,  5,  7,  8,  9,  12, 15, 16, 17,
                                  23, 24, 25, 31, 32, 33, 40, 47, 63, 64, 65, 129};
const std::size_t stride_extras[] = {0, 1, 3};

class GemvStridedTest : public testing::TestWithParam<GemvVariant> {
protected:
    void SetUp() override {
        if (!GetParam().available()) GTEST_SKIP() << "CPU lacks " << GetParam().name;
    }
};

// Every shape of the sweep with A, x and y each ending at (or just before) a fault page. The
// elements between cols and lda hold NaN, so reading one would spoil a mixed-input result.
TEST_P(GemvStridedTest, MatchesTheLaneOrderOfItsWidth) {
    GuardedRegion region_a(16384), region_x(4096), region_y(4096);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double guard = -std::numeric_limits<double>::infinity();
    for (Inputs inputs : {Inputs::mixed, Inputs::specials, Inputs::subnormal}) {
        for (std::size_t rows : row_counts) {
            for (std::size_t cols : col_counts) {
                const std::vector<double> a_values = make_inputs<double>(rows * cols, inputs, 11);
                const std::vector<double> x_values = make_inputs<double>(cols, inputs, 12);
                const std::vector<double> y_values = make_inputs<double>(rows, inputs, 13);
                for (std::size_t extra : stride_extras) {
                    const std::size_t lda = cols + extra;
                    for (std::size_t gap : end_gaps({1, 3})) {
                        SCOPED_TRACE(testing::Message() << name_of(inputs) << " rows " << rows << " cols " << cols
                                                        << " lda " << lda << " gap " << gap);
                        std::span<double> a = region_a.place<double>(strided_extent(rows, cols, lda), gap, nan);
                        for (std::size_t i = 0; i < rows; ++i)
                            for (std::size_t j = 0; j < cols; ++j) a[i * lda + j] = a_values[i * cols + j];
                        std::span<double> x = region_x.place<double>(cols, gap, nan);
                        std::copy(x_values.begin(), x_values.end(), x.begin());
                        std::span<double> y = region_y.place<double>(rows, gap, guard);
                        std::copy(y_values.begin(), y_values.end(), y.begin());
                        std::vector<double> expected = y_values;
                        GetParam().reference(a, x, expected, rows, cols, lda);
                        ASSERT_EQ(GetParam().kernel(a, x, y, rows, cols, lda), SimdError::success);
                        for (std::size_t i = 0; i < rows; ++i) {
                            ASSERT_TRUE(bits_equal(y[i], expected[i])) << "row " << i;
                        }
                        ASSERT_TRUE(region_y.untouched_outside<double>(y, guard));
                    }
                }
            }
        }
    }
}

// No columns: each y[i] receives +0, so a −0 turns into +0 and every other value stays.
TEST_P(GemvStridedTest, NoColumnsAddsPositiveZero) {
    std::vector<double> y = {-0.0, 1.5, -0.0, -2.0, std::numeric_limits<double>::infinity()};
    ASSERT_EQ(GetParam().kernel({}, {}, y, 5, 0, 0), SimdError::success);
    EXPECT_TRUE(bits_equal(y[0], 0.0));
    EXPECT_TRUE(bits_equal(y[1], 1.5));
    EXPECT_TRUE(bits_equal(y[2], 0.0));
    EXPECT_TRUE(bits_equal(y[3], -2.0));
    EXPECT_TRUE(bits_equal(y[4], std::numeric_limits<double>::infinity()));
}

// One column: the product is rounded on its own and then added to y[i]; fused into y[i] it
// would keep the low bits of a·x (−2^-30 − 2^-59 instead of −2^-30).
TEST_P(GemvStridedTest, SingleColumnRoundsTheProductBeforeAddingY) {
    const double a[] = {1.0 + 0x1p-30};
    const double x[] = {1.0 - 0x1p-29};
    std::vector<double> y = {-1.0};
    ASSERT_EQ(GetParam().kernel(std::span(a), std::span(x), y, 1, 1, 1), SimdError::success);
    EXPECT_TRUE(bits_equal(y[0], -0x1p-30));
}

TEST_P(GemvStridedTest, FailedChecksWriteNothing) {
    struct Case {
        const char* name;
        std::size_t a_len, x_len, y_len, rows, cols, lda;
    };
    constexpr std::size_t big = std::numeric_limits<std::size_t>::max() / 2 + 1;
    const Case cases[] = {
        {"a one short of the extent", 13, 4, 3, 3, 4, 5},
        {"x shorter than cols", 14, 3, 3, 3, 4, 5},
        {"y shorter than rows", 14, 4, 2, 3, 4, 5},
        {"lda below cols", 14, 4, 3, 3, 4, 3},
        {"no rows, lda below cols", 0, 3, 0, 0, 3, 2},
        {"(rows - 1) * lda overflows", 14, 4, 3, 3, 1, big},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<double> a(c.a_len, 1.0), x(c.x_len, 1.0);
        std::vector<double> y(c.y_len, 7.0);
        EXPECT_EQ(GetParam().kernel(a, x, y, c.rows, c.cols, c.lda), SimdError::mismatch);
        EXPECT_EQ(y, std::vector<double>(c.y_len, 7.0));
    }
    // No rows with a valid stride: success, and there is no y element to write.
    EXPECT_EQ(GetParam().kernel({}, std::vector<double>(3, 1.0), {}, 0, 3, 3), SimdError::success);
}

INSTANTIATE_TEST_SUITE_P(Variants, GemvStridedTest, testing::ValuesIn(variants),
                         [](const testing::TestParamInfo<GemvVariant>& info) { return std::string(info.param.name); });

// The two lane orders must be told apart by the inputs, or the sweep above proves nothing.
TEST(GemvReferenceTest, MixedInputsSeparateTheLaneCounts) {
    const std::size_t rows = 4, cols = 129;
    const auto a = make_inputs<double>(rows * cols, Inputs::mixed, 11);
    const auto x = make_inputs<double>(cols, Inputs::mixed, 12);
    std::vector<double> y8(rows, 0.0), y4(rows, 0.0);
    reference_gemv<8>(a, x, y8, rows, cols, cols);
    reference_gemv<4>(a, x, y4, rows, cols, cols);
    bool differs = false;
    for (std::size_t i = 0; i < rows; ++i) differs |= !same_bits(y8[i], y4[i]);
    EXPECT_TRUE(differs);
}

}  // namespace
