#include "kavrel_ops/domain/scalar/dispatch.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "kavrel_ops/domain/scalar/fallback.hpp"
#include "support/scalar.hpp"
#include "zubrin_simd/dispatch/abs_reduce.hpp"
#include "zubrin_simd/dispatch/dot.hpp"
#include "zubrin_simd/dispatch/gemv_strided.hpp"
#include "zubrin_simd/dispatch/sum.hpp"
#include "zubrin_simd_core/tiling/gemv.hpp"
#include "zubrin_simd_core/tiling/gemv_transpose.hpp"

namespace {

using namespace scalar_test;
namespace sd = kavrel_ops::domain::scalar::dispatch;
namespace fb = kavrel_ops::domain::scalar::fallback;
namespace ew = zubrin_simd_core::ops::elementwise;
namespace k_dot = zubrin_simd::dispatch::dot::dispatch_dot;
namespace k_sum = zubrin_simd::dispatch::sum::dispatch_sum;
namespace k_abs_sum = zubrin_simd::dispatch::abs_reduce::dispatch_abs_sum;
namespace k_abs_max = zubrin_simd::dispatch::abs_reduce::dispatch_abs_max;
namespace k_gemv = zubrin_simd::dispatch::gemv_strided::dispatch_gemv_strided;
using sd::SimdError;

// What each path must give for the families whose bits depend on the path: that path's own
// variant (zubrin's tests pin the kernels' orders, fallback_test the portable ones).
template <class T>
T dot_on(cf::KernelPath path, std::span<const T> a, std::span<const T> b) {
    switch (path) {
        case cf::KernelPath::avx512f: return *k_dot::dispatch_dot_avx512f(a, b);
        case cf::KernelPath::avx2_fma: return *k_dot::dispatch_dot_avx2_fma(a, b);
        case cf::KernelPath::portable: return *fb::dot_portable(a, b);
    }
    return T(0);
}

float sum_on(cf::KernelPath path, std::span<const float> x) {
    switch (path) {
        case cf::KernelPath::avx512f: return k_sum::dispatch_sum_avx512f(x);
        case cf::KernelPath::avx2_fma: return k_sum::dispatch_sum_avx2_fma(x);
        case cf::KernelPath::portable: return fb::sum_portable(x);
    }
    return 0.0f;
}

double abs_sum_on(cf::KernelPath path, std::span<const double> x) {
    switch (path) {
        case cf::KernelPath::avx512f: return k_abs_sum::dispatch_abs_sum_avx512f(x);
        case cf::KernelPath::avx2_fma: return k_abs_sum::dispatch_abs_sum_avx2_fma(x);
        case cf::KernelPath::portable: return fb::abs_sum_portable(x);
    }
    return 0.0;
}

SimdError gemv_on(cf::KernelPath path, std::span<const double> a, std::span<const double> x, std::span<double> y,
                  std::uint64_t rows, std::uint64_t cols, std::uint64_t lda) {
    switch (path) {
        case cf::KernelPath::avx512f: return k_gemv::dispatch_gemv_strided_avx512f(a, x, y, rows, cols, lda);
        case cf::KernelPath::avx2_fma: return k_gemv::dispatch_gemv_strided_avx2_fma(a, x, y, rows, cols, lda);
        case cf::KernelPath::portable: return zubrin_simd_core::tiling::gemv::gemv_portable(a, x, y, rows, cols, lda);
    }
    return SimdError::mismatch;
}

class DispatchTest : public ForcedPathTest {};

TEST_P(DispatchTest, DotRunsThisPathsVariant) {
    for (Inputs inputs : {Inputs::mixed, Inputs::specials}) {
        for (std::size_t n : sweep_lengths()) {
            SCOPED_TRACE(testing::Message() << (inputs == Inputs::mixed ? "mixed" : "specials") << " n " << n);
            const auto a32 = make_inputs<float>(n, inputs, 1), b32 = make_inputs<float>(n, inputs, 2);
            const auto a64 = make_inputs<double>(n, inputs, 1), b64 = make_inputs<double>(n, inputs, 2);
            const auto r32 = sd::dispatch_dot<float>(a32, b32);
            const auto r64 = sd::dispatch_dot<double>(a64, b64);
            ASSERT_TRUE(r32.has_value() && r64.has_value());
            EXPECT_TRUE(bits_equal(*r32, dot_on<float>(GetParam(), a32, b32)));
            EXPECT_TRUE(bits_equal(*r64, dot_on<double>(GetParam(), a64, b64)));
        }
    }
    const std::vector<double> three(3, 1.0), four(4, 1.0);
    const auto refused = sd::dispatch_dot<double>(three, four);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), SimdError::mismatch);
}

TEST_P(DispatchTest, SumsRunThisPathsVariant) {
    for (Inputs inputs : {Inputs::mixed, Inputs::specials}) {
        for (std::size_t n : sweep_lengths()) {
            SCOPED_TRACE(testing::Message() << (inputs == Inputs::mixed ? "mixed" : "specials") << " n " << n);
            const auto x32 = make_inputs<float>(n, inputs, 3);
            const auto x64 = make_inputs<double>(n, inputs, 4);
            EXPECT_TRUE(bits_equal(sd::dispatch_sum(x32), sum_on(GetParam(), x32)));
            EXPECT_TRUE(bits_equal(sd::dispatch_abs_sum(x64), abs_sum_on(GetParam(), x64)));
        }
    }
}

// The largest magnitude is exact: every path gives the same bits, and any NaN gives NaN.
TEST_P(DispatchTest, AbsMaxIsTheLargestMagnitudeOnEveryPath) {
    for (std::size_t n : sweep_lengths()) {
        SCOPED_TRACE(n);
        std::vector<double> x = make_inputs<double>(n, Inputs::mixed, 5);
        double best = 0.0;
        for (double v : x) best = std::fmax(best, std::fabs(v));
        EXPECT_TRUE(bits_equal(sd::dispatch_abs_max(x), best));
        if (n == 0) continue;
        x[n / 2] = std::numeric_limits<double>::quiet_NaN();
        EXPECT_TRUE(std::isnan(sd::dispatch_abs_max(x)));
    }
}

// y starts non-zero, so "added to, never cleared" is part of what is compared; the elements of a
// row between cols and lda hold NaN, so reading them would show.
TEST_P(DispatchTest, MatrixVectorProductsRunThisPathsVariant) {
    constexpr double unread = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t rows : {0, 1, 3, 5, 9}) {
        for (std::size_t cols : {0, 1, 4, 7, 8, 9, 33, 40}) {
            SCOPED_TRACE(testing::Message() << "rows " << rows << " cols " << cols);
            const std::size_t lda = cols + 3;
            std::vector<double> a = make_inputs<double>(rows * lda, Inputs::mixed, 6);
            for (std::size_t i = 0; i < rows; ++i)
                for (std::size_t j = cols; j < lda; ++j) a[i * lda + j] = unread;
            const auto x_cols = make_inputs<double>(cols, Inputs::mixed, 7);
            const auto x_rows = make_inputs<double>(rows, Inputs::mixed, 8);
            const auto y_rows = make_inputs<double>(rows, Inputs::mixed, 9);
            const auto y_cols = make_inputs<double>(cols, Inputs::mixed, 10);

            std::vector<double> y = y_rows, expected = y_rows;
            ASSERT_EQ(sd::dispatch_gemv_strided(a, x_cols, y, rows, cols, lda), SimdError::success);
            ASSERT_EQ(gemv_on(GetParam(), a, x_cols, expected, rows, cols, lda), SimdError::success);
            for (std::size_t i = 0; i < rows; ++i) EXPECT_TRUE(bits_equal(y[i], expected[i])) << "row " << i;

            // The transposed product gives the same bits on every path: the fused steps in row order.
            y = y_cols;
            ASSERT_EQ(sd::dispatch_gemv_transpose_strided(a, x_rows, y, rows, cols, lda), SimdError::success);
            for (std::size_t j = 0; j < cols; ++j) {
                double acc = y_cols[j];
                for (std::size_t i = 0; i < rows; ++i) acc = std::fma(a[i * lda + j], x_rows[i], acc);
                EXPECT_TRUE(bits_equal(y[j], acc)) << "column " << j;
            }
        }
    }
}

// Every path refuses the same operands with the same status and writes nothing.
TEST_P(DispatchTest, EveryPathRefusesWhatTheKernelsRefuse) {
    const std::vector<double> a(11, 1.0), x(4, 1.0);
    std::vector<double> y(4, 7.0);
    // lda below cols, then a one element short of (rows − 1)·lda + cols = 12.
    EXPECT_EQ(sd::dispatch_gemv_strided(a, x, y, 3, 4, 3), SimdError::mismatch);
    EXPECT_EQ(sd::dispatch_gemv_strided(a, x, y, 3, 4, 4), SimdError::mismatch);
    EXPECT_EQ(sd::dispatch_gemv_transpose_strided(a, x, y, 3, 4, 4), SimdError::mismatch);
    EXPECT_EQ(y, std::vector<double>(4, 7.0));
    // C one element short of m·n is a mismatch too, never output_too_short.
    std::vector<double> c(7, 7.0);
    EXPECT_EQ(sd::dispatch_tiled_gemm<double>(std::span(a).first(6), a, c, 2, 4, 3), SimdError::mismatch);
    EXPECT_EQ(c, std::vector<double>(7, 7.0));

    const std::vector<float> three(3, 1.0f), four(4, 2.0f);
    std::vector<float> out(4, 7.0f);
    EXPECT_EQ(sd::dispatch_axpy<float>(three, out, 2.0f), SimdError::mismatch);
    EXPECT_EQ(sd::dispatch_elementwise_binary<ew::Sub>(three, four, out), SimdError::mismatch);
    EXPECT_EQ(sd::dispatch_elementwise_binary<ew::Sub>(four, four, std::span(out).first(3)),
              SimdError::output_too_short);
    EXPECT_EQ(sd::dispatch_axpy_rows<float>(three, four, out, 4, 2, 4), SimdError::mismatch);
    EXPECT_EQ(sd::dispatch_axpy_rows_batch<float>(three, four, out, 1, 1, 2, 2), SimdError::mismatch);
    EXPECT_EQ(out, std::vector<float>(4, 7.0f));
    // Empty blocks succeed without looking at the slices.
    EXPECT_EQ(sd::dispatch_axpy_rows<float>({}, {}, {}, 0, 0, 4), SimdError::success);
    EXPECT_EQ(sd::dispatch_axpy_rows_batch<float>({}, {}, {}, 0, 3, 0, 4), SimdError::success);
    // The matrix product checks its slices even with nothing to multiply: B of 0 × 4 … 9 × 4.
    EXPECT_EQ(sd::dispatch_tiled_gemm<float>({}, {}, {}, 0, 0, 9), SimdError::success);
    EXPECT_EQ(sd::dispatch_tiled_gemm<float>({}, {}, {}, 0, 4, 9), SimdError::mismatch);
}

// The element-wise selector accepts a longer output and leaves its tail alone on every path.
TEST_P(DispatchTest, ElementwiseLeavesALongerOutputsTailAlone) {
    const auto a = make_inputs<float>(37, Inputs::specials, 11), b = make_inputs<float>(37, Inputs::specials, 12);
    std::vector<float> out(40, 42.0f);
    ASSERT_EQ(sd::dispatch_elementwise_binary<ew::Div>(a, b, out), SimdError::success);
    for (std::size_t i = 0; i < 37; ++i) EXPECT_TRUE(bits_equal(out[i], a[i] / b[i])) << i;
    for (std::size_t i = 37; i < 40; ++i) EXPECT_EQ(out[i], 42.0f);
}

INSTANTIATE_TEST_SUITE_P(Paths, DispatchTest, testing::ValuesIn(all_paths), path_param_name);

// On these inputs the variants of each path-dependent family give different bits, so the tests
// above would see a selector that ran the wrong path. (The seeds are chosen: on some inputs two
// orders happen to round alike.)
TEST(DispatchVariantsTest, PathDependentFamiliesTellThePathsApart) {
    const auto a = make_inputs<double>(4001, Inputs::mixed, 2), b = make_inputs<double>(4001, Inputs::mixed, 14);
    const auto x32 = make_inputs<float>(4001, Inputs::mixed, 2);
    const std::size_t rows = 7, cols = 500;
    std::vector<cf::KernelPath> runnable;
    for (cf::KernelPath path : all_paths)
        if (cpu_runs(path)) runnable.push_back(path);
    for (std::size_t p = 0; p < runnable.size(); ++p) {
        for (std::size_t q = p + 1; q < runnable.size(); ++q) {
            SCOPED_TRACE(testing::Message() << name_of(runnable[p]) << " against " << name_of(runnable[q]));
            EXPECT_FALSE(same_bits(dot_on<double>(runnable[p], a, b), dot_on<double>(runnable[q], a, b)));
            EXPECT_FALSE(same_bits(sum_on(runnable[p], x32), sum_on(runnable[q], x32)));
            EXPECT_FALSE(same_bits(abs_sum_on(runnable[p], a), abs_sum_on(runnable[q], a)));
            std::vector<double> yp(rows, 0.0), yq(rows, 0.0);
            ASSERT_EQ(gemv_on(runnable[p], a, b, yp, rows, cols, cols), SimdError::success);
            ASSERT_EQ(gemv_on(runnable[q], a, b, yq, rows, cols, cols), SimdError::success);
            EXPECT_NE(yp, yq);
        }
    }
}

}  // namespace
