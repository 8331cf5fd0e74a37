#include "kavrel_ops/domain/scalar/fallback.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "support/scalar.hpp"

namespace {

using namespace scalar_test;
namespace fb = kavrel_ops::domain::scalar::fallback;
namespace ew = zubrin_simd_core::ops::elementwise;
using fb::SimdError;

// The portable dot order as a machine of W lanes: four accumulators per block of 4W, plain
// products first, sequential lane sum.
template <class T, std::size_t W>
T reference_portable_dot(const std::vector<T>& a, const std::vector<T>& b) {
    const std::size_t n = a.size();
    const std::size_t blocks = n / (4 * W);
    T c[W] = {};
    bool have_c = false;
    if (blocks > 0) {
        T acc[4][W];
        for (std::size_t e = 0; e < 4 * W; ++e) acc[e / W][e % W] = a[e] * b[e];
        for (std::size_t e = 4 * W; e < blocks * 4 * W; ++e) {
            T& lane = acc[(e % (4 * W)) / W][e % W];
            lane = std::fma(a[e], b[e], lane);
        }
        for (std::size_t l = 0; l < W; ++l) c[l] = ((acc[0][l] + acc[1][l]) + acc[2][l]) + acc[3][l];
        have_c = true;
    }
    const std::size_t groups_end = n / W * W;
    for (std::size_t e = blocks * 4 * W; e < groups_end; ++e) {
        c[e % W] = have_c ? std::fma(a[e], b[e], c[e % W]) : a[e] * b[e];
        if (e % W == W - 1) have_c = true;
    }
    T s = T(0);
    if (have_c) {
        s = c[0];
        for (std::size_t l = 1; l < W; ++l) s = s + c[l];
    }
    if (groups_end == n) return s;
    T tail[W] = {};
    for (std::size_t e = groups_end; e < n; ++e) tail[e - groups_end] = std::fma(a[e], b[e], T(0));
    T t = tail[0];
    for (std::size_t l = 1; l < W; ++l) t = t + tail[l];
    return s + t;
}

TEST(FallbackTest, DotPortableFollowsTheFixedOrder) {
    for (Inputs inputs : {Inputs::mixed, Inputs::specials}) {
        for (std::size_t n : sweep_lengths()) {
            SCOPED_TRACE(testing::Message() << (inputs == Inputs::mixed ? "mixed" : "specials") << " n " << n);
            const auto a32 = make_inputs<float>(n, inputs, 1), b32 = make_inputs<float>(n, inputs, 2);
            const auto a64 = make_inputs<double>(n, inputs, 1), b64 = make_inputs<double>(n, inputs, 2);
            EXPECT_TRUE(bits_equal(*fb::dot_portable<float>(a32, b32), reference_portable_dot<float, 4>(a32, b32)));
            EXPECT_TRUE(bits_equal(*fb::dot_portable<double>(a64, b64), reference_portable_dot<double, 2>(a64, b64)));
        }
    }
}

// Nine float64 elements: the first eight products form the block, nothing is fused, the lanes
// combine as ((A0 + A1) + A2) + A3, s = C0 + C1, and the ninth product is added last.
TEST(FallbackTest, DotPortableNineDoubles) {
    const auto a = make_inputs<double>(9, Inputs::mixed, 3), b = make_inputs<double>(9, Inputs::mixed, 4);
    double c[2];
    for (int l = 0; l < 2; ++l) {
        c[l] = ((a[l] * b[l] + a[2 + l] * b[2 + l]) + a[4 + l] * b[4 + l]) + a[6 + l] * b[6 + l];
    }
    EXPECT_TRUE(bits_equal(*fb::dot_portable<double>(a, b), (c[0] + c[1]) + std::fma(a[8], b[8], 0.0)));
}

// The float lanes sum in sequence, ((C0 + C1) + C2) + C3, not by halving.
TEST(FallbackTest, DotPortableFloatLaneSumIsSequential) {
    const std::vector<float> a = {1.0f, 1e8f, 1.0f, -1e8f}, b = {1.0f, 1.0f, 1.0f, 1.0f};
    // Sequential: ((1 + 1e8) + 1) - 1e8 = 0 in float; halving would give (1 + 1) + 0 = 2.
    EXPECT_EQ(*fb::dot_portable<float>(a, b), 0.0f);
}

TEST(FallbackTest, DotPortableEmptyAndSingle) {
    EXPECT_TRUE(bits_equal(*fb::dot_portable<double>({}, {}), 0.0));
    const std::vector<float> a = {-3.0f}, b = {0.0f};
    EXPECT_TRUE(bits_equal(*fb::dot_portable<float>(a, b), 0.0f));  // the tail lane fma(a, b, +0) is +0
    const std::vector<double> c = {1.0 + 0x1p-30}, d = {1.0 + 0x1p-30};
    EXPECT_TRUE(bits_equal(*fb::dot_portable<double>(c, d), c[0] * d[0]));
}

TEST(FallbackTest, AxpyPortableIsOneFusedStep) {
    for (std::size_t n : sweep_lengths()) {
        SCOPED_TRACE(n);
        const auto x = make_inputs<double>(n, Inputs::specials, 5);
        const auto start = make_inputs<double>(n, Inputs::specials, 6);
        for (double alpha : {0.3, 0.0, -std::numeric_limits<double>::infinity()}) {
            std::vector<double> out = start;
            ASSERT_EQ(fb::axpy_portable<double>(x, out, alpha), SimdError::success);
            for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(bits_equal(out[i], std::fma(alpha, x[i], start[i])));
        }
        const auto x32 = make_inputs<float>(n, Inputs::mixed, 5);
        std::vector<float> out32 = make_inputs<float>(n, Inputs::mixed, 6);
        const std::vector<float> start32 = out32;
        ASSERT_EQ(fb::axpy_portable<float>(x32, out32, 0.7f), SimdError::success);
        for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(bits_equal(out32[i], std::fma(0.7f, x32[i], start32[i])));
    }
}

template <class Op>
void check_elementwise(float (*scalar)(float, float)) {
    for (std::size_t n : sweep_lengths()) {
        SCOPED_TRACE(n);
        const auto a = make_inputs<float>(n, Inputs::specials, 7), b = make_inputs<float>(n, Inputs::specials, 8);
        std::vector<float> out(n, 99.0f);
        ASSERT_EQ(fb::elementwise_portable<Op>(a, b, out), SimdError::success);
        for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(bits_equal(out[i], scalar(a[i], b[i]))) << "element " << i;
    }
}

TEST(FallbackTest, ElementwisePortableIsOneOperationPerElement) {
    check_elementwise<ew::Add>([](float x, float y) { return x + y; });
    check_elementwise<ew::Sub>([](float x, float y) { return x - y; });
    check_elementwise<ew::Mul>([](float x, float y) { return x * y; });
    check_elementwise<ew::Div>([](float x, float y) { return x / y; });
}

// The portable row loops on their own: the term order (k = 5 past the four callers pass), gaps
// and trailing elements left alone, and a refused block (out one short) left unwritten.
TEST(FallbackTest, RowLoopsFollowTheTermOrderAndCheckFirst) {
    const double guard = -std::numeric_limits<double>::infinity();
    for (std::size_t rows : {1, 3}) {
        for (std::size_t cols : {1, 5, 17}) {
            for (std::size_t k : {1, 3, 5}) {
                SCOPED_TRACE(testing::Message() << "rows " << rows << " cols " << cols << " k " << k);
                const std::size_t stride = cols + 2;
                const auto coeffs = make_inputs<double>(rows * k, Inputs::specials, 61);
                const auto x = make_inputs<double>(k * cols, Inputs::specials, 62);
                const std::vector<double> start = make_block<double>(rows, cols, stride, 2, guard, Inputs::mixed, 63);
                const std::size_t extent = start.size() - 2;
                std::vector<double> expected = start;
                reference_row_terms<double>(coeffs, x, expected, stride, rows, k, cols);
                std::vector<double> out = start;
                ASSERT_EQ(fb::axpy_rows_batch_portable<double>(coeffs, x, std::span(out).first(extent), stride, rows,
                                                               k, cols),
                          SimdError::success);
                for (std::size_t e = 0; e < out.size(); ++e) ASSERT_TRUE(bits_equal(out[e], expected[e])) << e;
                if (k == 1) {
                    out = start;
                    ASSERT_EQ(fb::axpy_rows_portable<double>(coeffs, x, std::span(out).first(extent), stride, rows,
                                                             cols),
                              SimdError::success);
                    for (std::size_t e = 0; e < out.size(); ++e) ASSERT_TRUE(bits_equal(out[e], expected[e])) << e;
                }
                out = start;
                const std::span<double> short_out = std::span(out).first(extent - 1);
                EXPECT_EQ(fb::axpy_rows_batch_portable<double>(coeffs, x, short_out, stride, rows, k, cols),
                          SimdError::mismatch);
                EXPECT_EQ(fb::axpy_rows_portable<double>(coeffs, x, short_out, stride, rows, cols),
                          SimdError::mismatch);
                for (std::size_t e = 0; e < out.size(); ++e) ASSERT_TRUE(bits_equal(out[e], start[e])) << e;
            }
        }
    }
}

// The portable loops refuse what the kernels refuse, with the same status, and write nothing.
TEST(FallbackTest, PortableChecksGiveTheKernelsStatus) {
    const std::vector<float> three(3, 1.0f), four(4, 2.0f);
    std::vector<float> out(4, 7.0f);
    EXPECT_EQ(fb::axpy_portable<float>(three, out, 2.0f), SimdError::mismatch);
    const auto refused = fb::dot_portable<float>(three, four);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), SimdError::mismatch);
    // Operand lengths are compared before the output length.
    EXPECT_EQ(fb::elementwise_portable<ew::Add>(three, four, std::span(out).first(2)), SimdError::mismatch);
    EXPECT_EQ(fb::elementwise_portable<ew::Add>(four, four, std::span(out).first(3)), SimdError::output_too_short);
    EXPECT_EQ(out, std::vector<float>(4, 7.0f));
    // Rows, columns or terms zero: success without looking at the slices.
    EXPECT_EQ(fb::axpy_rows_portable<float>({}, {}, {}, 0, 0, 5), SimdError::success);
    EXPECT_EQ(fb::axpy_rows_batch_portable<float>({}, {}, {}, 0, 3, 0, 5), SimdError::success);
    // A longer output keeps its tail.
    std::vector<float> longer(6, 7.0f);
    EXPECT_EQ(fb::elementwise_portable<ew::Mul>(four, four, longer), SimdError::success);
    EXPECT_EQ(longer, (std::vector<float>{4.0f, 4.0f, 4.0f, 4.0f, 7.0f, 7.0f}));
}

// The portable sum order: blocks of 16 in four 4-lane accumulators (first block + 0.0), combined
// as (A0 + A1) + (A2 + A3), groups of 4, h = a3 + (a2 + (a1 + a0)), tail ((y0 + y1) + y2) + 0.
float reference_portable_sum(std::span<const float> x) {
    const std::size_t n = x.size();
    if (n == 0) return 0.0f;
    const std::size_t blocks = n / 16;
    float acc[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    if (blocks > 0) {
        float a[4][4];
        for (std::size_t e = 0; e < 16; ++e) a[e / 4][e % 4] = x[e] + 0.0f;
        for (std::size_t e = 16; e < blocks * 16; ++e) a[(e % 16) / 4][e % 4] = a[(e % 16) / 4][e % 4] + x[e];
        for (std::size_t l = 0; l < 4; ++l) acc[l] = (a[0][l] + a[1][l]) + (a[2][l] + a[3][l]);
    }
    const std::size_t groups_end = n / 4 * 4;
    for (std::size_t e = blocks * 16; e < groups_end; ++e) acc[e % 4] = acc[e % 4] + x[e];
    const float h = acc[3] + (acc[2] + (acc[1] + acc[0]));
    if (groups_end == n) return h;
    float y[3] = {0.0f, 0.0f, 0.0f};
    for (std::size_t e = groups_end; e < n; ++e) y[e - groups_end] = x[e];
    return h + (((y[0] + y[1]) + y[2]) + 0.0f);
}

TEST(FallbackTest, SumPortableFollowsTheFixedOrder) {
    for (Inputs inputs : {Inputs::mixed, Inputs::specials}) {
        for (std::size_t n : sweep_lengths()) {
            SCOPED_TRACE(n);
            const auto x = make_inputs<float>(n, inputs, 41);
            EXPECT_TRUE(bits_equal(fb::sum_portable(x), reference_portable_sum(x)));
        }
    }
    const auto x = make_inputs<float>(20, Inputs::mixed, 42);
    const float h5 = x[3] + (x[2] + (x[1] + x[0]));
    EXPECT_TRUE(bits_equal(fb::sum_portable(std::span(x).first(5)), h5 + (((x[4] + 0.0f) + 0.0f) + 0.0f)));
    float acc[4];
    for (int l = 0; l < 4; ++l) {
        const float block = ((x[l] + 0.0f) + (x[4 + l] + 0.0f)) + ((x[8 + l] + 0.0f) + (x[12 + l] + 0.0f));
        acc[l] = block + x[16 + l];
    }
    EXPECT_TRUE(bits_equal(fb::sum_portable(x), acc[3] + (acc[2] + (acc[1] + acc[0]))));
    EXPECT_TRUE(bits_equal(fb::sum_portable({}), 0.0f));
}

// The order must matter on these inputs, or the comparisons above would not see a wrong order.
TEST(FallbackTest, MixedInputsSeparateTheSumOrders) {
    const auto x = make_inputs<float>(1000, Inputs::mixed, 43);
    float sequential = 0.0f;
    for (float v : x) sequential = sequential + v;
    EXPECT_FALSE(same_bits(fb::sum_portable(x), sequential));
}

// The portable absolute sum written per element: element e of the blocks goes to partial e mod 8,
// the partials fold into two lanes, the pairs after the blocks alternate between the lanes, then
// lane 1 + lane 0 and an odd last element.
double reference_portable_abs_sum(const std::vector<double>& x) {
    const std::size_t n = x.size();
    const std::size_t blocks_end = n / 8 * 8;
    double lane[2] = {0.0, 0.0};
    if (blocks_end > 0) {
        double p[8];
        for (std::size_t e = 0; e < blocks_end; ++e) p[e % 8] = e < 8 ? std::fabs(x[e]) : p[e % 8] + std::fabs(x[e]);
        lane[0] = (p[0] + p[2]) + (p[4] + p[6]);
        lane[1] = (p[1] + p[3]) + (p[5] + p[7]);
    }
    for (std::size_t e = blocks_end; e < n / 2 * 2; ++e) lane[e % 2] = lane[e % 2] + std::fabs(x[e]);
    const double result = lane[1] + lane[0];
    return n % 2 == 1 ? result + std::fabs(x[n - 1]) : result;
}

TEST(FallbackTest, AbsSumPortableFollowsTheFixedOrder) {
    for (Inputs inputs : {Inputs::mixed, Inputs::specials}) {
        for (std::size_t n : sweep_lengths()) {
            SCOPED_TRACE(testing::Message() << (inputs == Inputs::mixed ? "mixed" : "specials") << " n " << n);
            const auto x = make_inputs<double>(n, inputs, 71);
            EXPECT_TRUE(bits_equal(fb::abs_sum_portable(x), reference_portable_abs_sum(x)));
        }
    }
    // Three elements: no block, one pair, then the odd last one: (|x1| + |x0|) + |x2|.
    const std::vector<double> three = {-1.0, 0x1p-60, 0x1p53};
    EXPECT_TRUE(bits_equal(fb::abs_sum_portable(three), (0x1p-60 + 1.0) + 0x1p53));
    EXPECT_TRUE(bits_equal(fb::abs_sum_portable({}), 0.0));
    // The order must matter on the mixed inputs, or the comparison above would not see it.
    const auto x = make_inputs<double>(1000, Inputs::mixed, 72);
    double sequential = 0.0;
    for (double v : x) sequential = sequential + std::fabs(v);
    EXPECT_FALSE(same_bits(fb::abs_sum_portable(x), sequential));
}

// The largest magnitude wherever it sits; any NaN wins, wherever it sits; +0 when empty.
TEST(FallbackTest, AbsMaxPortableIsLargestMagnitudeAndNaNWins) {
    constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(bits_equal(fb::abs_max_portable({}), 0.0));
    EXPECT_TRUE(bits_equal(fb::abs_max_portable(std::vector<double>{-0.0, -0.0}), 0.0));
    EXPECT_EQ(fb::abs_max_portable(std::vector<double>{-3.0, 2.0, -std::numeric_limits<double>::infinity()}),
              std::numeric_limits<double>::infinity());
    for (std::size_t n : {1, 2, 9, 17}) {
        for (std::size_t at = 0; at < n; ++at) {
            SCOPED_TRACE(testing::Message() << "n " << n << " NaN at " << at);
            std::vector<double> x = make_inputs<double>(n, Inputs::mixed, 73);
            x[at] = -nan_value;
            EXPECT_TRUE(std::isnan(fb::abs_max_portable(x)));
            x[at] = -1e300;
            EXPECT_EQ(fb::abs_max_portable(x), 1e300);
        }
    }
}

}  // namespace
