#include "kavrel_ops/domain/scalar/fallback.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <span>
#include <vector>

#include "scalar_test_support.hpp"

namespace {

using namespace scalar_test;
namespace fb = kavrel_ops::domain::scalar::fallback;
namespace ew = zubrin_simd_core::ops::elementwise;

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
            EXPECT_TRUE(bits_equal(fb::dot_portable<float>(a32, b32), reference_portable_dot<float, 4>(a32, b32)));
            EXPECT_TRUE(bits_equal(fb::dot_portable<double>(a64, b64), reference_portable_dot<double, 2>(a64, b64)));
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
    EXPECT_TRUE(bits_equal(fb::dot_portable<double>(a, b), (c[0] + c[1]) + std::fma(a[8], b[8], 0.0)));
}

// The float lanes sum in sequence, ((C0 + C1) + C2) + C3, not by halving.
TEST(FallbackTest, DotPortableFloatLaneSumIsSequential) {
    const std::vector<float> a = {1.0f, 1e8f, 1.0f, -1e8f}, b = {1.0f, 1.0f, 1.0f, 1.0f};
    // Sequential: ((1 + 1e8) + 1) - 1e8 = 0 in float; halving would give (1 + 1) + 0 = 2.
    EXPECT_EQ(fb::dot_portable<float>(a, b), 0.0f);
}

TEST(FallbackTest, DotPortableEmptyAndSingle) {
    EXPECT_TRUE(bits_equal(fb::dot_portable<double>({}, {}), 0.0));
    const std::vector<float> a = {-3.0f}, b = {0.0f};
    EXPECT_TRUE(bits_equal(fb::dot_portable<float>(a, b), 0.0f));  // the tail lane fma(a, b, +0) is +0
    const std::vector<double> c = {1.0 + 0x1p-30}, d = {1.0 + 0x1p-30};
    EXPECT_TRUE(bits_equal(fb::dot_portable<double>(c, d), c[0] * d[0]));
}

TEST(FallbackTest, AxpyPortableIsOneFusedStep) {
    for (std::size_t n : sweep_lengths()) {
        SCOPED_TRACE(n);
        const auto x = make_inputs<double>(n, Inputs::specials, 5);
        const auto start = make_inputs<double>(n, Inputs::specials, 6);
        for (double alpha : {0.3, 0.0, -std::numeric_limits<double>::infinity()}) {
            std::vector<double> out = start;
            fb::axpy_portable<double>(x, out, alpha);
            for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(bits_equal(out[i], std::fma(alpha, x[i], start[i])));
        }
        const auto x32 = make_inputs<float>(n, Inputs::mixed, 5);
        std::vector<float> out32 = make_inputs<float>(n, Inputs::mixed, 6);
        const std::vector<float> start32 = out32;
        fb::axpy_portable<float>(x32, out32, 0.7f);
        for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(bits_equal(out32[i], std::fma(0.7f, x32[i], start32[i])));
    }
}

template <class Op>
void check_elementwise(float (*scalar)(float, float)) {
    for (std::size_t n : sweep_lengths()) {
        SCOPED_TRACE(n);
        const auto a = make_inputs<float>(n, Inputs::specials, 7), b = make_inputs<float>(n, Inputs::specials, 8);
        std::vector<float> out(n, 99.0f);
        fb::elementwise_portable<Op>(a, b, out);
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
                fb::axpy_rows_batch_portable<double>(coeffs, x, std::span(out).first(extent), stride, rows, k, cols);
                for (std::size_t e = 0; e < out.size(); ++e) ASSERT_TRUE(bits_equal(out[e], expected[e])) << e;
                if (k == 1) {
                    out = start;
                    fb::axpy_rows_portable<double>(coeffs, x, std::span(out).first(extent), stride, rows, cols);
                    for (std::size_t e = 0; e < out.size(); ++e) ASSERT_TRUE(bits_equal(out[e], expected[e])) << e;
                }
                out = start;
                const std::span<double> short_out = std::span(out).first(extent - 1);
                fb::axpy_rows_batch_portable<double>(coeffs, x, short_out, stride, rows, k, cols);
                fb::axpy_rows_portable<double>(coeffs, x, short_out, stride, rows, cols);
                for (std::size_t e = 0; e < out.size(); ++e) ASSERT_TRUE(bits_equal(out[e], start[e])) << e;
            }
        }
    }
}

}  // namespace
