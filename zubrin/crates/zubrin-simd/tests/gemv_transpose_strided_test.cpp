#include "zubrin_simd/dispatch/gemv_transpose_strided.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "kernel_test_support.hpp"
#include "zubrin_simd_core/tiling/gemv_transpose.hpp"

namespace {

using namespace kernel_test;
using zubrin_simd::dispatch::gemv_transpose_strided::SimdError;
using zubrin_simd_core::tiling::gemv_transpose::gemv_t_portable;
namespace dt = zubrin_simd::dispatch::gemv_transpose_strided::dispatch_gemv_transpose_strided;

using GemvKernel = SimdError (*)(std::span<const double>, std::span<const double>, std::span<double>, std::uint64_t,
                                 std::uint64_t, std::uint64_t) noexcept;

struct GemvTransposeVariant {
    const char* name;
    bool (*available)();
    GemvKernel kernel;
};

const GemvTransposeVariant variants[] = {
    {"avx512f", has_avx512f, dt::dispatch_gemv_transpose_strided_avx512f},
    {"avx2_fma", has_avx2_fma, dt::dispatch_gemv_transpose_strided_avx2_fma},
};

// Rows around the steps of two and four; columns around the vector widths (4, 8) and the blocks
// of four vectors (16, 32); row strides equal to, one and three past the column count.
const std::size_t row_counts[] = {0, 1, 2, 3, 4, 5, 7, 9};
const std::size_t col_counts[] = {0,  1,  3,  4,  5,  7,  8,  9,  12, 15, 16, 17, 20, 24,
                                  31, 32, 33, 40, 47, 48, 63, 64, 65, 96, 97, 129};
const std::size_t stride_extras[] = {0, 1, 3};

class GemvTransposeStridedTest : public testing::TestWithParam<GemvTransposeVariant> {
protected:
    void SetUp() override {
        if (!GetParam().available()) GTEST_SKIP() << "CPU lacks " << GetParam().name;
    }
};

// Every y[j] must be the sequential fused sum over the rows, whichever block it falls in, and
// equal to the portable product bit for bit. A, x and y end at (or just before) a fault page;
// the elements between cols and lda hold NaN, so reading one would spoil a mixed-input result.
TEST_P(GemvTransposeStridedTest, EveryColumnIsTheSequentialFusedSum) {
    GuardedRegion region_a(16384), region_x(4096), region_y(4096);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double guard = -std::numeric_limits<double>::infinity();
    for (Inputs inputs : {Inputs::mixed, Inputs::specials, Inputs::subnormal}) {
        for (std::size_t rows : row_counts) {
            for (std::size_t cols : col_counts) {
                const std::vector<double> a_values = make_inputs<double>(rows * cols, inputs, 21);
                const std::vector<double> x_values = make_inputs<double>(rows, inputs, 22);
                const std::vector<double> y_values = make_inputs<double>(cols, inputs, 23);
                for (std::size_t extra : stride_extras) {
                    const std::size_t lda = cols + extra;
                    for (std::size_t gap : end_gaps({1, 3})) {
                        SCOPED_TRACE(testing::Message() << name_of(inputs) << " rows " << rows << " cols " << cols
                                                        << " lda " << lda << " gap " << gap);
                        std::span<double> a = region_a.place<double>(strided_extent(rows, cols, lda), gap, nan);
                        for (std::size_t i = 0; i < rows; ++i)
                            for (std::size_t j = 0; j < cols; ++j) a[i * lda + j] = a_values[i * cols + j];
                        std::span<double> x = region_x.place<double>(rows, gap, nan);
                        std::copy(x_values.begin(), x_values.end(), x.begin());
                        std::span<double> y = region_y.place<double>(cols, gap, guard);
                        std::copy(y_values.begin(), y_values.end(), y.begin());
                        std::vector<double> expected = y_values;
                        reference_gemv_transpose(a, x, expected, rows, cols, lda);
                        std::vector<double> portable = y_values;
                        ASSERT_EQ(gemv_t_portable(a, x, portable, rows, cols, lda), SimdError::success);
                        ASSERT_EQ(GetParam().kernel(a, x, y, rows, cols, lda), SimdError::success);
                        for (std::size_t j = 0; j < cols; ++j) {
                            ASSERT_TRUE(bits_equal(y[j], expected[j])) << "column " << j;
                            ASSERT_TRUE(bits_equal(y[j], portable[j])) << "column " << j << " (portable)";
                        }
                        ASSERT_TRUE(region_y.untouched_outside<double>(y, guard));
                    }
                }
            }
        }
    }
}

// No rows: y keeps its exact bits, −0 included (nothing is added, not even +0).
TEST_P(GemvTransposeStridedTest, NoRowsLeavesYExactlyAsItWas) {
    std::vector<double> y = {-0.0, 1.5, -0.0};
    ASSERT_EQ(GetParam().kernel({}, {}, y, 0, 3, 3), SimdError::success);
    EXPECT_TRUE(bits_equal(y[0], -0.0));
    EXPECT_TRUE(bits_equal(y[1], 1.5));
    EXPECT_TRUE(bits_equal(y[2], -0.0));
}

TEST_P(GemvTransposeStridedTest, FailedChecksWriteNothing) {
    struct Case {
        const char* name;
        std::size_t a_len, x_len, y_len, rows, cols, lda;
    };
    constexpr std::size_t big = std::numeric_limits<std::size_t>::max() / 2 + 1;
    const Case cases[] = {
        {"a one short of the extent", 13, 3, 4, 3, 4, 5},
        {"x shorter than rows", 14, 2, 4, 3, 4, 5},
        {"y shorter than cols", 14, 3, 3, 3, 4, 5},
        {"lda below cols", 14, 3, 4, 3, 4, 3},
        {"no rows, lda below cols", 0, 0, 3, 0, 3, 2},
        {"(rows - 1) * lda overflows", 14, 3, 4, 3, 1, big},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<double> a(c.a_len, 1.0), x(c.x_len, 1.0);
        std::vector<double> y(c.y_len, 7.0);
        EXPECT_EQ(GetParam().kernel(a, x, y, c.rows, c.cols, c.lda), SimdError::mismatch);
        EXPECT_EQ(y, std::vector<double>(c.y_len, 7.0));
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, GemvTransposeStridedTest, testing::ValuesIn(variants),
                         [](const testing::TestParamInfo<GemvTransposeVariant>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
