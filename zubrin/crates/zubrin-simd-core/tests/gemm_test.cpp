#include "zubrin_simd_core/tiling/gemm.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

using zubrin_simd_core::error::SimdError;
using zubrin_simd_core::tiling::gemm::check_tiled_gemm_dimensions;

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t two32 = std::uint64_t{1} << 32;

TEST(GemmCheckTest, Table) {
    struct Row {
        const char* name;
        std::uint64_t a_len, b_len, c_len, m, n, k;
        SimdError expected;
    };
    const Row rows[] = {
        {"exact lengths", 6, 12, 8, 2, 4, 3, SimdError::success},
        {"longer slices", 7, 13, 9, 2, 4, 3, SimdError::success},
        {"a one short", 5, 12, 8, 2, 4, 3, SimdError::mismatch},
        {"b one short", 6, 11, 8, 2, 4, 3, SimdError::mismatch},
        {"c one short is no output_too_short", 6, 12, 7, 2, 4, 3, SimdError::mismatch},
        {"all empty", 0, 0, 0, 0, 0, 0, SimdError::success},
        {"k zero", 0, 0, 8, 2, 4, 0, SimdError::success},
        {"m times k overflows", max_u64, max_u64, max_u64, two32, 1, two32, SimdError::mismatch},
        {"k times n overflows", max_u64, max_u64, max_u64, 1, two32, two32, SimdError::mismatch},
        {"m times n overflows", max_u64, max_u64, max_u64, two32, two32, 1, SimdError::mismatch},
        {"m times k overflows even with n zero", 0, 0, 0, two32, 0, two32, SimdError::mismatch},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(check_tiled_gemm_dimensions(row.a_len, row.b_len, row.c_len, row.m, row.n, row.k), row.expected);
    }
}

}  // namespace
