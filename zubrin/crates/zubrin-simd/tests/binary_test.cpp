#include "zubrin_simd/dispatch/binary.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "kernel_test_support.hpp"
#include "zubrin_simd_core/tuning.hpp"

namespace {

using namespace kernel_test;
using zubrin_simd::dispatch::binary::SimdError;
using zubrin_simd_core::tuning::streaming_threshold_elements;
namespace db = zubrin_simd::dispatch::binary::dispatch_elementwise_binary;
namespace ew = zubrin_simd_core::ops::elementwise;

using Kernel = SimdError (*)(std::span<const float>, std::span<const float>, std::span<float>) noexcept;

struct Op {
    const char* name;
    float (*scalar)(float, float);
};

const Op ops[4] = {
    {"add", [](float x, float y) { return x + y; }},
    {"sub", [](float x, float y) { return x - y; }},
    {"mul", [](float x, float y) { return x * y; }},
    {"div", [](float x, float y) { return x / y; }},
};

struct BinaryVariant {
    const char* name;
    bool (*available)();
    Kernel kernels[4];  // in the order of `ops`
};

const BinaryVariant variants[] = {
    {"avx512f",
     has_avx512f,
     {db::dispatch_elementwise_binary_avx512f<ew::Add>, db::dispatch_elementwise_binary_avx512f<ew::Sub>,
      db::dispatch_elementwise_binary_avx512f<ew::Mul>, db::dispatch_elementwise_binary_avx512f<ew::Div>}},
    {"avx2_fma",
     has_avx2_fma,
     {db::dispatch_elementwise_binary_avx2_fma<ew::Add>, db::dispatch_elementwise_binary_avx2_fma<ew::Sub>,
      db::dispatch_elementwise_binary_avx2_fma<ew::Mul>, db::dispatch_elementwise_binary_avx2_fma<ew::Div>}},
};

constexpr float guard = -1234.5f;

class BinaryTest : public testing::TestWithParam<BinaryVariant> {
protected:
    void SetUp() override {
        if (!GetParam().available()) GTEST_SKIP() << "CPU lacks " << GetParam().name;
    }
};

TEST_P(BinaryTest, EveryElementIsOneIeeeOperation) {
    GuardedRegion region_a(4096 + 64), region_b(4096 + 64), region_out(4096 + 64);
    for (int k = 0; k < 4; ++k) {
        for (Inputs inputs : {Inputs::mixed, Inputs::specials, Inputs::subnormal}) {
            for (std::size_t n : sweep_lengths()) {
                const std::vector<float> a_values = make_inputs<float>(n, inputs, 21);
                const std::vector<float> b_values = make_inputs<float>(n, inputs, 22);
                for (std::size_t gap : end_gaps({1, 7})) {
                    SCOPED_TRACE(testing::Message() << ops[k].name << " " << name_of(inputs) << " n " << n
                                                    << " gap " << gap);
                    std::span<float> a = region_a.place<float>(n, gap, 0.0f);
                    std::span<float> b = region_b.place<float>(n, gap, 0.0f);
                    std::span<float> out = region_out.place<float>(n, gap, guard);
                    std::copy(a_values.begin(), a_values.end(), a.begin());
                    std::copy(b_values.begin(), b_values.end(), b.begin());
                    ASSERT_EQ(GetParam().kernels[k](a, b, out), SimdError::success);
                    for (std::size_t i = 0; i < n; ++i) {
                        ASSERT_TRUE(bits_equal(out[i], ops[k].scalar(a_values[i], b_values[i]))) << "element " << i;
                    }
                    ASSERT_TRUE(region_out.untouched_outside<float>(out, guard));
                }
            }
        }
    }
}

TEST_P(BinaryTest, DivisionByZeroGivesInfinitiesAndNaN) {
    const std::vector<float> a = {1.0f, -1.0f, 0.0f, 2.0f, -0.0f};
    const std::vector<float> b = {0.0f, 0.0f, 0.0f, -0.0f, 5.0f};
    std::vector<float> out(5);
    ASSERT_EQ(GetParam().kernels[3](a, b, out), SimdError::success);
    EXPECT_EQ(out[0], std::numeric_limits<float>::infinity());
    EXPECT_EQ(out[1], -std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(out[2]));
    EXPECT_EQ(out[3], -std::numeric_limits<float>::infinity());
    EXPECT_TRUE(bits_equal(out[4], -0.0f));
}

TEST_P(BinaryTest, ChecksComeInOrder) {
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(ops[k].name);
        const std::vector<float> a = {1, 2, 3}, b4 = {1, 2, 3, 4}, b3 = {4, 5, 6};
        std::vector<float> short_out(2, guard);
        // The length test comes first, even with an output that is too short.
        EXPECT_EQ(GetParam().kernels[k](a, b4, short_out), SimdError::mismatch);
        EXPECT_EQ(GetParam().kernels[k](a, b3, short_out), SimdError::output_too_short);
        EXPECT_EQ(short_out[0], guard);
        EXPECT_EQ(short_out[1], guard);
        // A longer output keeps its elements past a.size().
        std::vector<float> long_out(5, guard);
        ASSERT_EQ(GetParam().kernels[k](a, b3, long_out), SimdError::success);
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(bits_equal(long_out[i], ops[k].scalar(a[i], b3[i])));
        EXPECT_EQ(long_out[3], guard);
        EXPECT_EQ(long_out[4], guard);
        EXPECT_EQ(GetParam().kernels[k]({}, {}, {}), SimdError::success);
    }
}

// A 64-byte aligned buffer of n + 17 floats; the output of the streaming tests starts at
// element `shift` and everything else keeps the guard.
struct AlignedFloats {
    explicit AlignedFloats(std::size_t count)
        : data(static_cast<float*>(std::aligned_alloc(64, (count * sizeof(float) + 63) / 64 * 64))), size(count) {
        if (!data) throw std::bad_alloc();
    }
    ~AlignedFloats() { std::free(data); }
    float* data;
    std::size_t size;
};

// Built once: generating 2^21 values costs more than every kernel call of these tests.
const std::vector<float>& large_inputs(int which) {
    static const std::vector<float> a = make_inputs<float>(streaming_threshold_elements + 13, Inputs::specials, 31);
    static const std::vector<float> b = make_inputs<float>(streaming_threshold_elements + 13, Inputs::mixed, 32);
    return which == 0 ? a : b;
}

void check_large(Kernel kernel, const Op& op, std::size_t n, std::size_t shift) {
    const std::span<const float> a(large_inputs(0).data(), n);
    const std::span<const float> b(large_inputs(1).data(), n);
    AlignedFloats buffer(n + 17);
    std::fill(buffer.data, buffer.data + buffer.size, guard);
    const std::span<float> out(buffer.data + shift, n);
    ASSERT_EQ(kernel(a, b, out), SimdError::success);
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_TRUE(bits_equal(out[i], op.scalar(a[i], b[i]))) << "element " << i;
    }
    for (std::size_t i = 0; i < shift; ++i) ASSERT_EQ(buffer.data[i], guard);
    for (std::size_t i = shift + n; i < buffer.size; ++i) ASSERT_EQ(buffer.data[i], guard);
}

// From 2^21 elements the output is streamed after a scalar prologue; 4 bytes past a 64-byte
// boundary needs 15 prologue elements with 16 lanes and 7 with 8, and the epilogue takes the rest.
TEST_P(BinaryTest, StreamingPathGivesTheSameValues) {
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(ops[k].name);
        check_large(GetParam().kernels[k], ops[k], streaming_threshold_elements, 1);
    }
    SCOPED_TRACE("aligned output, odd length");
    check_large(GetParam().kernels[0], ops[0], streaming_threshold_elements + 13, 0);
}

// An output short of float alignment can never reach the stream alignment, where a non-temporal
// store would fault: it takes the ordinary stores and still gives every value. Read back bytewise.
TEST_P(BinaryTest, StreamingLengthWithByteMisalignedOutputGivesTheSameValues) {
    const std::size_t n = streaming_threshold_elements + 5;
    const std::size_t shift_bytes = 5;
    const unsigned char guard_byte = 0xA5;
    const std::span<const float> a(large_inputs(0).data(), n);
    const std::span<const float> b(large_inputs(1).data(), n);
    AlignedFloats buffer(n + 17);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(buffer.data);
    const std::size_t total_bytes = buffer.size * sizeof(float);
    std::memset(bytes, guard_byte, total_bytes);
    const std::span<float> out(reinterpret_cast<float*>(bytes + shift_bytes), n);
    for (int k : {0, 3}) {
        SCOPED_TRACE(ops[k].name);
        ASSERT_EQ(GetParam().kernels[k](a, b, out), SimdError::success);
        for (std::size_t i = 0; i < n; ++i) {
            float value;
            std::memcpy(&value, bytes + shift_bytes + i * sizeof(float), sizeof value);
            ASSERT_TRUE(bits_equal(value, ops[k].scalar(a[i], b[i]))) << "element " << i;
        }
        for (std::size_t i = 0; i < shift_bytes; ++i) ASSERT_EQ(bytes[i], guard_byte);
        for (std::size_t i = shift_bytes + n * sizeof(float); i < total_bytes; ++i) ASSERT_EQ(bytes[i], guard_byte);
    }
}

TEST_P(BinaryTest, JustBelowTheStreamingThreshold) {
    check_large(GetParam().kernels[2], ops[2], streaming_threshold_elements - 1, 1);
}

// Streamed and ordinary stores give the same values, so the decision is tested on its own: from
// 2^21 elements, unless the output is short of float alignment. Only the addresses are examined.
TEST(StreamingStoresTest, DecidedByLengthAndElementAlignment) {
    alignas(64) static float line[32];
    const auto at_byte = [](std::size_t offset) {
        return reinterpret_cast<const float*>(reinterpret_cast<const unsigned char*>(line) + offset);
    };
    struct Case {
        const char* name;
        std::size_t n;
        std::size_t byte_offset;
        bool streams;
    };
    const Case cases[] = {
        {"2^21 - 1, aligned", streaming_threshold_elements - 1, 0, false},
        {"2^21, aligned", streaming_threshold_elements, 0, true},
        {"2^21, 4 bytes past a line", streaming_threshold_elements, 4, true},
        {"2^21 + 13, 60 bytes past a line", streaming_threshold_elements + 13, 60, true},
        {"2^21, 1 byte past a line", streaming_threshold_elements, 1, false},
        {"2^21 + 5, 6 bytes past a line", streaming_threshold_elements + 5, 6, false},
        {"2^21 - 1, 1 byte past a line", streaming_threshold_elements - 1, 1, false},
        {"empty", 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(zubrin_simd::dispatch::binary::uses_streaming_stores(c.n, at_byte(c.byte_offset)), c.streams);
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, BinaryTest, testing::ValuesIn(variants),
                         [](const testing::TestParamInfo<BinaryVariant>& info) { return std::string(info.param.name); });

}  // namespace
