#include "zubrin_simd_core/tiling/gemv.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <vector>

namespace {

using zubrin_simd_core::error::SimdError;
using zubrin_simd_core::tiling::gemv::check_gemv_dimensions;
using zubrin_simd_core::tiling::gemv::gemv_portable;

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();

struct Row {
    const char* name;
    std::uint64_t a_len, x_len, y_len, rows, cols, lda;
    SimdError expected;
};

TEST(GemvCheckTest, Table) {
    const Row rows[] = {
        {"3x4 in lda 5: extent 14", 14, 4, 3, 3, 4, 5, SimdError::success},
        {"a one short of the extent", 13, 4, 3, 3, 4, 5, SimdError::mismatch},
        {"x shorter than cols", 14, 3, 3, 3, 4, 5, SimdError::mismatch},
        {"y shorter than rows", 14, 4, 2, 3, 4, 5, SimdError::mismatch},
        {"lda below cols", 100, 4, 3, 3, 4, 3, SimdError::mismatch},
        {"no rows still needs lda >= cols", 0, 3, 0, 0, 3, 2, SimdError::mismatch},
        {"no rows still needs x_len >= cols", 0, 2, 0, 0, 3, 3, SimdError::mismatch},
        {"no rows, extent 0", 0, 3, 0, 0, 3, 3, SimdError::success},
        {"one row needs a_len >= cols only", 4, 4, 1, 1, 4, 1000, SimdError::success},
        {"one row, lda below cols", 4, 4, 1, 1, 4, 3, SimdError::mismatch},
        {"(rows - 1) * lda overflows", max_u64, max_u64, max_u64, 3, 1, max_u64 / 2 + 1, SimdError::mismatch},
        {"extent sum overflows", max_u64, max_u64, max_u64, 2, 2, max_u64 - 1, SimdError::mismatch},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(check_gemv_dimensions(row.a_len, row.x_len, row.y_len, row.rows, row.cols, row.lda),
                  row.expected);
    }
}

// Signed values over 2^-12 .. 2^12, so a different summation order shows in the last bits.
std::vector<double> mixed_values(std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed * 0x9E3779B97F4A7C15ull + n);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::uniform_int_distribution<int> exponent(-12, 12);
    std::vector<double> values(n);
    for (double& v : values) v = std::ldexp(unit(rng), exponent(rng));
    return values;
}

// E over the even and O over the odd columns, each a fused chain from +0; y[i] = (E + O) + y[i].
double reference_row(std::span<const double> row, std::span<const double> x, double y) {
    double even = 0.0;
    double odd = 0.0;
    for (std::size_t j = 0; j < row.size(); j += 2) even = std::fma(row[j], x[j], even);
    for (std::size_t j = 1; j < row.size(); j += 2) odd = std::fma(row[j], x[j], odd);
    return (even + odd) + y;
}

TEST(GemvPortableTest, EvenAndOddChainsPerRow) {
    for (std::size_t rows : {0, 1, 2, 3, 5}) {
        for (std::size_t cols : {0, 1, 2, 3, 4, 7, 8, 9, 33}) {
            for (std::size_t extra : {0, 3}) {
                SCOPED_TRACE(testing::Message() << "rows " << rows << " cols " << cols << " extra " << extra);
                const std::size_t lda = cols + extra;
                // The gap elements are NaN: reading one would spoil the row's result.
                const std::size_t extent = rows == 0 ? 0 : (rows - 1) * lda + cols;
                std::vector<double> a(extent, std::numeric_limits<double>::quiet_NaN());
                const std::vector<double> values = mixed_values(rows * cols, 1);
                for (std::size_t i = 0; i < rows; ++i)
                    for (std::size_t j = 0; j < cols; ++j) a[i * lda + j] = values[i * cols + j];
                const std::vector<double> x = mixed_values(cols, 2);
                const std::vector<double> start = mixed_values(rows, 3);
                std::vector<double> y = start;
                ASSERT_EQ(gemv_portable(a, x, y, rows, cols, lda), SimdError::success);
                for (std::size_t i = 0; i < rows; ++i) {
                    const double expected = reference_row(std::span(values).subspan(i * cols, cols), x, start[i]);
                    EXPECT_EQ(std::bit_cast<std::uint64_t>(y[i]), std::bit_cast<std::uint64_t>(expected)) << i;
                }
            }
        }
    }
}

// [1e16, 1, −1e16, 1]·1: the even chain cancels to 0 and the odd one holds 2, so the row gives 2,
// where one sequential sum would lose the first 1 to rounding and give 1.
TEST(GemvPortableTest, ChainsAreSplitByColumnParity) {
    const std::vector<double> a = {1e16, 1.0, -1e16, 1.0}, x = {1.0, 1.0, 1.0, 1.0};
    std::vector<double> y = {0.0};
    ASSERT_EQ(gemv_portable(a, x, y, 1, 4, 4), SimdError::success);
    EXPECT_EQ(y[0], 2.0);
}

TEST(GemvPortableTest, FailedCheckWritesNothing) {
    const std::vector<double> a(13, 1.0), x(4, 1.0);
    std::vector<double> y(3, 7.0);
    EXPECT_EQ(gemv_portable(a, x, y, 3, 4, 5), SimdError::mismatch);  // a one short of the extent
    EXPECT_EQ(y, std::vector<double>(3, 7.0));
    EXPECT_EQ(gemv_portable({}, std::vector<double>(3, 1.0), {}, 0, 3, 2), SimdError::mismatch);  // lda < cols
}

}  // namespace
