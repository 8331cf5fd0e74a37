#include "zubrin_simd/dispatch/axpy.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "kernel_test_support.hpp"

namespace {

using namespace kernel_test;
using zubrin_simd::dispatch::axpy::AxpyRowsBatchExtents;
using zubrin_simd::dispatch::axpy::check_axpy_rows_batch_extents;
using zubrin_simd::dispatch::axpy::SimdError;
namespace da = zubrin_simd::dispatch::axpy::dispatch_axpy;

struct AxpyVariant {
    const char* name;
    bool (*available)();
    SimdError (*f32)(std::span<const float>, std::span<float>, float) noexcept;
    SimdError (*f64)(std::span<const double>, std::span<double>, double) noexcept;
};

const AxpyVariant variants[] = {
    {"avx512f", has_avx512f, da::dispatch_axpy_avx512f, da::dispatch_axpy_avx512f},
    {"avx2_fma", has_avx2_fma, da::dispatch_axpy_avx2_fma, da::dispatch_axpy_avx2_fma},
};

class AxpyTest : public testing::TestWithParam<AxpyVariant> {
protected:
    void SetUp() override {
        if (!GetParam().available()) GTEST_SKIP() << "CPU lacks " << GetParam().name;
    }

    // Each element must be exactly fma(alpha, x, out); out sits before a fault page or with
    // guard elements after it, and nothing outside it may change.
    template <class T, class Kernel>
    void check_against_fma(Kernel kernel) {
        GuardedRegion region_x(8192 + 64);
        GuardedRegion region_out(8192 + 64);
        const T guard = -std::numeric_limits<T>::infinity();
        const T alphas[] = {T(0.7), T(-3), T(0), std::numeric_limits<T>::infinity()};
        for (Inputs inputs : {Inputs::mixed, Inputs::specials, Inputs::subnormal}) {
            for (std::size_t n : sweep_lengths()) {
                const std::vector<T> x_values = make_inputs<T>(n, inputs, 3);
                const std::vector<T> out_values = make_inputs<T>(n, inputs, 4);
                for (std::size_t gap : end_gaps({1, 5})) {
                    for (T alpha : alphas) {
                        SCOPED_TRACE(testing::Message() << name_of(inputs) << " n " << n << " gap " << gap
                                                        << " alpha " << alpha);
                        std::span<T> x = region_x.place<T>(n, gap, T(0));
                        std::span<T> out = region_out.place<T>(n, gap, guard);
                        std::copy(x_values.begin(), x_values.end(), x.begin());
                        std::copy(out_values.begin(), out_values.end(), out.begin());
                        ASSERT_EQ(kernel(std::span<const T>(x), out, alpha), SimdError::success);
                        for (std::size_t i = 0; i < n; ++i) {
                            ASSERT_TRUE(bits_equal(out[i], std::fma(alpha, x_values[i], out_values[i])))
                                << "element " << i;
                        }
                        ASSERT_TRUE(region_out.untouched_outside<T>(out, guard));
                    }
                }
            }
        }
    }
};

TEST_P(AxpyTest, Float32IsOneFusedStepPerElement) { check_against_fma<float>(GetParam().f32); }

TEST_P(AxpyTest, Float64IsOneFusedStepPerElement) { check_against_fma<double>(GetParam().f64); }

TEST_P(AxpyTest, LengthMismatchWritesNothing) {
    const std::vector<double> x(5, 1.0);
    std::vector<double> out(4, 2.0);
    EXPECT_EQ(GetParam().f64(x, out, 3.0), SimdError::mismatch);
    EXPECT_EQ(out, std::vector<double>(4, 2.0));
    const std::vector<float> x32(3, 1.0f);
    std::vector<float> out32(4, 2.0f);
    EXPECT_EQ(GetParam().f32(x32, out32, 3.0f), SimdError::mismatch);
    EXPECT_EQ(out32, std::vector<float>(4, 2.0f));
}

TEST_P(AxpyTest, EmptyIsSuccess) {
    EXPECT_EQ(GetParam().f64({}, {}, 1.0), SimdError::success);
    EXPECT_EQ(GetParam().f32({}, {}, 1.0f), SimdError::success);
}

INSTANTIATE_TEST_SUITE_P(Variants, AxpyTest, testing::ValuesIn(variants),
                         [](const testing::TestParamInfo<AxpyVariant>& info) { return std::string(info.param.name); });

constexpr std::uint64_t max_u64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t two32 = std::uint64_t{1} << 32;

TEST(AxpyRowsBatchExtentsTest, Table) {
    struct Row {
        const char* name;
        std::uint64_t coeffs_len, x_len, out_len, out_stride, rows, k, cols;
        AxpyRowsBatchExtents expected;
    };
    using E = AxpyRowsBatchExtents;
    const Row rows[] = {
        {"exact: 3 rows, 2 terms, 4 cols, stride 6", 6, 8, 16, 6, 3, 2, 4, E::valid},
        {"longer slices", 7, 9, 17, 6, 3, 2, 4, E::valid},
        {"out one short of the extent", 6, 8, 15, 6, 3, 2, 4, E::invalid},
        {"coeffs short of rows * k", 5, 8, 16, 6, 3, 2, 4, E::invalid},
        {"x short of k * cols", 6, 7, 16, 6, 3, 2, 4, E::invalid},
        {"stride below cols", 6, 8, 100, 3, 3, 2, 4, E::invalid},
        {"one row with stride 0", 2, 8, 4, 0, 1, 2, 4, E::invalid},
        {"one row needs out_len >= cols only", 2, 8, 4, 4, 1, 2, 4, E::valid},
        {"k zero with stride below cols and no storage", 0, 0, 0, 0, 3, 0, 4, E::empty},
        {"rows zero", 0, 0, 0, 0, 0, 2, 4, E::empty},
        {"cols zero", 0, 0, 0, 0, 3, 2, 0, E::empty},
        {"rows * k overflows", max_u64, max_u64, max_u64, 1, two32, two32, 1, E::invalid},
        {"k * cols overflows", max_u64, max_u64, max_u64, two32, 1, two32, two32, E::invalid},
        {"(rows - 1) * stride overflows", max_u64, max_u64, max_u64, max_u64 / 2 + 1, 3, 1, 1, E::invalid},
        {"extent sum overflows", max_u64, max_u64, max_u64, max_u64 - 1, 2, 1, 2, E::invalid},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(check_axpy_rows_batch_extents(row.coeffs_len, row.x_len, row.out_len, row.out_stride, row.rows,
                                                row.k, row.cols),
                  row.expected);
    }
}

}  // namespace
