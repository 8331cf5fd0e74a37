#include "zubrin_simd_core/tiling/gemv_transpose.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

using zubrin_simd_core::error::SimdError;
using zubrin_simd_core::tiling::gemv_transpose::check_gemv_t_dimensions;

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

}  // namespace
