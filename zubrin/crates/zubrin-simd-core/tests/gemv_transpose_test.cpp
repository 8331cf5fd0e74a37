#include "zubrin_simd_core/tiling/gemv_transpose.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

using zubrin_simd_core::error::SimdError;
using zubrin_simd_core::tiling::gemv_transpose::check_gemv_t_dimensions;
using zubrin_simd_core::tiling::gemv_transpose::gemv_t_portable;

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();

struct Row {
    const char* name;
    std::uint64_t a_len, x_len, y_len, rows, cols, lda;
    SimdError expected;
};

// x runs along the rows and y along the columns: the swap of the plain check.
TEST(GemvTransposeCheckTest, Table) {
    const Row rows[] = {
        {"3x4 in lda 5: extent 14", 14, 3, 4, 3, 4, 5, SimdError::success},
        {"a one short of the extent", 13, 3, 4, 3, 4, 5, SimdError::mismatch},
        {"x shorter than rows", 14, 2, 4, 3, 4, 5, SimdError::mismatch},
        {"y shorter than cols", 14, 3, 3, 3, 4, 5, SimdError::mismatch},
        {"plain-check lengths are rejected", 14, 4, 3, 3, 4, 5, SimdError::mismatch},
        {"lda below cols", 100, 3, 4, 3, 4, 3, SimdError::mismatch},
        {"no rows still needs lda >= cols", 0, 0, 3, 0, 3, 2, SimdError::mismatch},
        {"no rows, extent 0", 0, 0, 3, 0, 3, 3, SimdError::success},
        {"one row needs a_len >= cols only", 4, 1, 4, 1, 4, 1000, SimdError::success},
        {"(rows - 1) * lda overflows", max_u64, max_u64, max_u64, 3, 1, max_u64 / 2 + 1, SimdError::mismatch},
        {"extent sum overflows", max_u64, max_u64, max_u64, 2, 2, max_u64 - 1, SimdError::mismatch},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(check_gemv_t_dimensions(row.a_len, row.x_len, row.y_len, row.rows, row.cols, row.lda),
                  row.expected);
    }
}

// Each y[j] is fma(A(i, j), x[i], ·) over the rows in order; the NaN gap elements are never read.
TEST(GemvTransposePortableTest, RowsInOrderPerColumn) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // 3 × 2 in lda 3: rows chosen so the order matters (1e16 + 1 − 1e16 loses the 1 in sequence).
    const std::vector<double> a = {1e16, 2.0, nan, 1.0, 3.0, nan, -1e16, 0.5};
    const std::vector<double> x = {1.0, 1.0, 1.0};
    std::vector<double> y = {0.0, -0.0};
    ASSERT_EQ(gemv_t_portable(a, x, y, 3, 2, 3), SimdError::success);
    double expected[2] = {0.0, -0.0};
    for (std::size_t j = 0; j < 2; ++j)
        for (std::size_t i = 0; i < 3; ++i) expected[j] = std::fma(a[i * 3 + j], x[i], expected[j]);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(y[0]), std::bit_cast<std::uint64_t>(expected[0]));
    EXPECT_EQ(y[0], 0.0);
    EXPECT_EQ(y[1], 5.5);
}

TEST(GemvTransposePortableTest, NoRowsLeavesYAndFailedCheckWritesNothing) {
    std::vector<double> y = {-0.0, 7.0};
    ASSERT_EQ(gemv_t_portable({}, {}, y, 0, 2, 2), SimdError::success);
    EXPECT_TRUE(std::signbit(y[0]));
    const std::vector<double> a(13, 1.0), x(3, 1.0);
    std::vector<double> out(4, 7.0);
    EXPECT_EQ(gemv_t_portable(a, x, out, 3, 4, 5), SimdError::mismatch);  // a one short of the extent
    EXPECT_EQ(out, std::vector<double>(4, 7.0));
}

}  // namespace
