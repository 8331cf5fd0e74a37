#include "kavrel_ops/domain/scalar/contract.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/domain/scalar/fallback.hpp"
#include "ostrel_local/alloc.hpp"
#include "ostrel_local/free.hpp"
#include "support/scalar.hpp"
#include "zubrin_simd/dispatch/binary.hpp"
#include "zubrin_simd/dispatch/dot.hpp"
#include "zubrin_simd_core/tuning.hpp"
#include "zubrin_simd_core/vec/aligned.hpp"

namespace {

using namespace scalar_test;
using kavrel::domain::error::InternalError;
using kavrel_ops::domain::scalar::contract::Scalar;
namespace fb = kavrel_ops::domain::scalar::fallback;
namespace dd = zubrin_simd::dispatch::dot::dispatch_dot;

// The element-wise slice operations belong to float alone; both types have the shared ones.
template <class S>
concept HasAddSlice = requires(std::span<const float> a, std::span<float> out) { S::add_slice(a, a, out); };
static_assert(HasAddSlice<Scalar<float>>);
static_assert(!HasAddSlice<Scalar<double>>);
static_assert(requires(std::span<const double> a) { Scalar<double>::dot_slice(a, a); });

// What each path must compute for dot_slice: its own kernel's order, or the portable order.
template <class T>
T expected_dot(cf::KernelPath path, std::span<const T> a, std::span<const T> b) {
    switch (path) {
        case cf::KernelPath::avx512f: return *dd::dispatch_dot_avx512f(a, b);
        case cf::KernelPath::avx2_fma: return *dd::dispatch_dot_avx2_fma(a, b);
        case cf::KernelPath::portable: return *fb::dot_portable<T>(a, b);
    }
    return T(0);
}

class ScalarPathTest : public ForcedPathTest {};

TEST_P(ScalarPathTest, DotSliceRunsThisPathsOrder) {
    for (Inputs inputs : {Inputs::mixed, Inputs::specials}) {
        for (std::size_t n : sweep_lengths()) {
            SCOPED_TRACE(testing::Message() << (inputs == Inputs::mixed ? "mixed" : "specials") << " n " << n);
            const auto a32 = make_inputs<float>(n, inputs, 1), b32 = make_inputs<float>(n, inputs, 2);
            const auto a64 = make_inputs<double>(n, inputs, 1), b64 = make_inputs<double>(n, inputs, 2);
            EXPECT_TRUE(bits_equal(Scalar<float>::dot_slice(a32, b32),
                                   expected_dot<float>(GetParam(), a32, b32)));
            EXPECT_TRUE(bits_equal(Scalar<double>::dot_slice(a64, b64),
                                   expected_dot<double>(GetParam(), a64, b64)));
        }
    }
}

TEST_P(ScalarPathTest, DotSliceEmptyAndSingle) {
    EXPECT_TRUE(bits_equal(Scalar<double>::dot_slice({}, {}), 0.0));
    EXPECT_TRUE(bits_equal(Scalar<float>::dot_slice({}, {}), 0.0f));
    const std::vector<double> a = {1.0 + 0x1p-30}, b = {1.0 - 0x1p-29};
    EXPECT_TRUE(bits_equal(Scalar<double>::dot_slice(a, b), a[0] * b[0]));
}

TEST_P(ScalarPathTest, AxpySliceGivesTheSameBitsOnEveryPath) {
    for (std::size_t n : sweep_lengths()) {
        SCOPED_TRACE(n);
        const auto x = make_inputs<double>(n, Inputs::specials, 3);
        const auto start = make_inputs<double>(n, Inputs::specials, 4);
        // alpha = 0 still rewrites every element: 0·∞ and 0·NaN give NaN.
        for (double alpha : {-1.7, 0.0}) {
            std::vector<double> out = start;
            Scalar<double>::axpy_slice(x, out, alpha);
            for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(bits_equal(out[i], std::fma(alpha, x[i], start[i])));
        }
        const auto x32 = make_inputs<float>(n, Inputs::specials, 3);
        const auto start32 = make_inputs<float>(n, Inputs::specials, 4);
        std::vector<float> out32 = start32;
        Scalar<float>::axpy_slice(x32, out32, 0.3f);
        for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(bits_equal(out32[i], std::fma(0.3f, x32[i], start32[i])));
    }
}

struct ElementwiseCase {
    const char* name;
    void (*slice)(std::span<const float>, std::span<const float>, std::span<float>);
    float (*scalar)(float, float);
};

const ElementwiseCase elementwise_cases[] = {
    {"add_slice", Scalar<float>::add_slice, [](float x, float y) { return x + y; }},
    {"sub_slice", Scalar<float>::sub_slice, [](float x, float y) { return x - y; }},
    {"mul_slice", Scalar<float>::mul_slice, [](float x, float y) { return x * y; }},
    {"div_slice", Scalar<float>::div_slice, [](float x, float y) { return x / y; }},
};

TEST_P(ScalarPathTest, ElementwiseSlicesGiveTheSameBitsOnEveryPath) {
    for (const ElementwiseCase& op : elementwise_cases) {
        for (std::size_t n : sweep_lengths()) {
            SCOPED_TRACE(testing::Message() << op.name << " n " << n);
            const auto a = make_inputs<float>(n, Inputs::specials, 5), b = make_inputs<float>(n, Inputs::specials, 6);
            std::vector<float> out(n, 42.0f);
            op.slice(a, b, out);
            for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(bits_equal(out[i], op.scalar(a[i], b[i]))) << i;
        }
    }
}

TEST_P(ScalarPathTest, DivisionByZeroIsNoError) {
    const std::vector<float> a = {1.0f, -2.0f, 0.0f}, b = {0.0f, 0.0f, 0.0f};
    std::vector<float> out(3);
    Scalar<float>::div_slice(a, b, out);
    EXPECT_EQ(out[0], std::numeric_limits<float>::infinity());
    EXPECT_EQ(out[1], -std::numeric_limits<float>::infinity());
    EXPECT_TRUE(std::isnan(out[2]));
}

// 2^21 elements and more take the kernels' streaming stores: the values must not change.
TEST_P(ScalarPathTest, StreamingLengthsGiveTheSameValues) {
    const std::size_t n = zubrin_simd_core::tuning::streaming_threshold_elements + 5;
    std::vector<float> a(n), b(n);
    for (std::size_t i = 0; i < n; ++i) {
        a[i] = static_cast<float>(i % 1000) * 0.37f - 100.0f;
        b[i] = static_cast<float>(i % 777) * 1.21f + 0.5f;
    }
    std::vector<float> out(n, 0.0f);
    Scalar<float>::sub_slice(a, b, out);
    for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(bits_equal(out[i], a[i] - b[i])) << "element " << i;
}

struct MismatchCase {
    const char* text;
    void (*call)(std::vector<float>& out);
};

// Each message names the failed equality, the operation's text and both lengths, left first;
// nothing is written before the check.
TEST_P(ScalarPathTest, LengthMismatchStopsWithAnInternalErrorBeforeWriting) {
    static const std::vector<float> three(3, 1.0f), four(4, 1.0f);
    static const std::vector<double> three64(3, 1.0), four64(4, 1.0);
    const MismatchCase cases[] = {
        {"axpy_slice: x.len() != out.len() (left == right failed; left: 3, right: 4)",
         [](std::vector<float>& out) { Scalar<float>::axpy_slice(three, out, 2.0f); }},
        {"dot_slice: a.len() != b.len() (left == right failed; left: 3, right: 4)",
         [](std::vector<float>&) { (void)Scalar<float>::dot_slice(three, four); }},
        {"add_slice: a.len() != b.len() (left == right failed; left: 4, right: 3)",
         [](std::vector<float>& out) { Scalar<float>::add_slice(four, three, out); }},
        {"add_slice: output length mismatch (left == right failed; left: 3, right: 4)",
         [](std::vector<float>& out) { Scalar<float>::add_slice(three, three, out); }},
        {"sub_slice: a.len() != b.len() (left == right failed; left: 3, right: 4)",
         [](std::vector<float>& out) { Scalar<float>::sub_slice(three, four, out); }},
        {"sub_slice: output length mismatch (left == right failed; left: 3, right: 4)",
         [](std::vector<float>& out) { Scalar<float>::sub_slice(three, three, out); }},
        {"mul_slice: a.len() != b.len() (left == right failed; left: 3, right: 4)",
         [](std::vector<float>& out) { Scalar<float>::mul_slice(three, four, out); }},
        {"mul_slice: output length mismatch (left == right failed; left: 3, right: 4)",
         [](std::vector<float>& out) { Scalar<float>::mul_slice(three, three, out); }},
        {"div_slice: a.len() != b.len() (left == right failed; left: 3, right: 4)",
         [](std::vector<float>& out) { Scalar<float>::div_slice(three, four, out); }},
        {"div_slice: output length mismatch (left == right failed; left: 3, right: 4)",
         [](std::vector<float>& out) { Scalar<float>::div_slice(three, three, out); }},
    };
    for (const MismatchCase& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<float> out(4, 7.0f);
        try {
            c.call(out);
            ADD_FAILURE() << "no internal error";
        } catch (const InternalError& error) {
            EXPECT_EQ(std::string(error.what()), std::string("invariant check failed: ") + c.text);
        }
        EXPECT_EQ(out, std::vector<float>(4, 7.0f));
    }
    std::vector<double> out64(4, 7.0);
    EXPECT_THROW(Scalar<double>::axpy_slice(three64, out64, 1.0), InternalError);
    EXPECT_EQ(out64, std::vector<double>(4, 7.0));
    EXPECT_THROW((void)Scalar<double>::dot_slice(four64, three64), InternalError);
}

// ---- Row updates ----

// Every shape with gaps between rows and elements past the block holding a guard; the whole
// buffer, guards included, must equal the written-down order bit for bit on every path.
template <class T, class Call>
void check_row_updates(std::initializer_list<std::size_t> term_counts, Call call) {
    const T guard = -std::numeric_limits<T>::infinity();
    for (Inputs inputs : {Inputs::mixed, Inputs::specials}) {
        for (std::size_t rows : {1, 2, 3, 5}) {
            for (std::size_t cols : sweep_lengths()) {
                for (std::size_t k : term_counts) {
                    const auto coeffs = make_inputs<T>(rows * k, inputs, 41);
                    const auto x = make_inputs<T>(k * cols, inputs, 42);
                    for (std::size_t extra : {0, 3}) {
                        SCOPED_TRACE(testing::Message() << (inputs == Inputs::mixed ? "mixed" : "specials") << " rows "
                                                        << rows << " cols " << cols << " k " << k << " stride "
                                                        << cols + extra);
                        const std::size_t stride = cols + extra;
                        std::vector<T> out = make_block<T>(rows, cols, stride, 3, guard, inputs, 43);
                        std::vector<T> expected = out;
                        reference_row_terms<T>(coeffs, x, expected, stride, rows, k, cols);
                        const std::size_t extent = out.size() - 3;
                        call(std::span<const T>(coeffs), std::span<const T>(x), std::span<T>(out).first(extent),
                             stride, rows, k, cols);
                        for (std::size_t e = 0; e < out.size(); ++e) {
                            ASSERT_TRUE(bits_equal(out[e], expected[e])) << "element " << e;
                        }
                    }
                }
            }
        }
    }
}

template <class T>
void axpy_rows_as_batch(std::span<const T> coeffs, std::span<const T> x, std::span<T> out, std::uint64_t stride,
                        std::uint64_t rows, std::uint64_t, std::uint64_t cols) {
    Scalar<T>::axpy_rows(coeffs, x, out, stride, rows, cols);
}

TEST_P(ScalarPathTest, AxpyRowsGiveTheSameBitsOnEveryPath) {
    check_row_updates<float>({1}, axpy_rows_as_batch<float>);
    check_row_updates<double>({1}, axpy_rows_as_batch<double>);
}

// k = 6 goes past the four terms callers pass: every term must still be applied in order.
TEST_P(ScalarPathTest, AxpyRowsBatchGivesTheSameBitsOnEveryPath) {
    check_row_updates<float>({1, 2, 3, 4, 6}, Scalar<float>::axpy_rows_batch);
    check_row_updates<double>({1, 2, 3, 4, 6}, Scalar<double>::axpy_rows_batch);
}

// Invalid extents and empty blocks: no write, no error, whatever the slice lengths.
TEST_P(ScalarPathTest, RowUpdatesOnBadExtentsReturnWithoutWriting) {
    struct Case {
        const char* name;
        std::size_t coeffs_len, x_len, out_len, stride, rows, k, cols;
    };
    const std::size_t big = std::numeric_limits<std::size_t>::max() / 2 + 1;
    const Case cases[] = {
        {"out one short of the extent", 6, 8, 13, 5, 3, 2, 4},
        {"stride below cols", 6, 8, 14, 3, 3, 2, 4},
        {"one row with stride 0", 2, 8, 4, 0, 1, 2, 4},
        {"coeffs shorter than rows * k", 5, 8, 14, 5, 3, 2, 4},
        {"x shorter than k * cols", 6, 7, 14, 5, 3, 2, 4},
        {"(rows - 1) * stride overflows", 6, 8, 14, big, 3, 2, 4},
        {"no rows", 0, 0, 0, 0, 0, 2, 4},
        {"no columns", 0, 0, 0, 0, 3, 2, 0},
        {"no terms, short slices", 0, 0, 2, 5, 3, 0, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<double> coeffs(c.coeffs_len, 2.0), x(c.x_len, 3.0);
        const std::vector<double> untouched(c.out_len, 7.0);
        std::vector<double> out = untouched;
        Scalar<double>::axpy_rows_batch(coeffs, x, out, c.stride, c.rows, c.k, c.cols);
        EXPECT_EQ(out, untouched);
        // The row update sees the first term's share of each slice.
        const std::size_t coeffs_one = c.k == 0 ? c.coeffs_len : c.coeffs_len / c.k;
        const std::size_t x_one = c.k == 0 ? c.x_len : c.x_len / c.k;
        const std::vector<float> coeffs32(coeffs_one, 2.0f), x32(x_one, 3.0f);
        std::vector<float> out32(c.out_len, 7.0f);
        if (c.k != 0) Scalar<float>::axpy_rows(coeffs32, x32, out32, c.stride, c.rows, c.cols);
        EXPECT_EQ(out32, std::vector<float>(c.out_len, 7.0f));
    }
}

// A zero coefficient times an infinity is NaN under the fused step, so the column is rewritten.
TEST_P(ScalarPathTest, ZeroCoefficientTimesInfinityIsNaN) {
    const std::vector<double> coeffs = {0.0, 0.0};
    std::vector<double> x = {1.0, std::numeric_limits<double>::infinity(), 2.0};
    std::vector<double> out = {1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
    Scalar<double>::axpy_rows(coeffs, x, out, 3, 2, 3);
    for (std::size_t r = 0; r < 2; ++r) {
        EXPECT_EQ(out[r * 3], 1.0);
        EXPECT_TRUE(std::isnan(out[r * 3 + 1]));
        EXPECT_EQ(out[r * 3 + 2], 1.0);
    }
}

// Two terms in one pass give the bits of two successive single updates, term 0 first.
TEST_P(ScalarPathTest, BatchOfTwoEqualsTwoSuccessiveRowUpdates) {
    const std::size_t rows = 5, cols = 37, stride = 40;
    const auto coeffs = make_inputs<float>(2 * rows, Inputs::mixed, 51);
    const auto x = make_inputs<float>(2 * cols, Inputs::mixed, 52);
    const std::vector<float> start = make_block<float>(rows, cols, stride, 0, 9.0f, Inputs::mixed, 53);
    std::vector<float> batched = start;
    Scalar<float>::axpy_rows_batch(coeffs, x, batched, stride, rows, 2, cols);
    std::vector<float> twice = start;
    const std::span<const float> c(coeffs), v(x);
    Scalar<float>::axpy_rows(c.first(rows), v.first(cols), twice, stride, rows, cols);
    Scalar<float>::axpy_rows(c.subspan(rows, rows), v.subspan(cols, cols), twice, stride, rows, cols);
    for (std::size_t e = 0; e < start.size(); ++e) ASSERT_TRUE(bits_equal(batched[e], twice[e])) << e;
    // The products must matter: the update changed the block.
    EXPECT_NE(batched, start);
}

// ---- Tiled matrix product ----

// C(i, j) = fma(A(i, p), B(p, j), C(i, j)) for p = 0, 1, …, k − 1, one rounding per step.
template <class T>
void reference_gemm(std::span<const T> a, std::span<const T> b, std::span<T> c, std::size_t m, std::size_t n,
                    std::size_t k) {
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            T acc = c[i * n + j];
            for (std::size_t p = 0; p < k; ++p) acc = std::fma(a[i * k + p], b[p * n + j], acc);
            c[i * n + j] = acc;
        }
    }
}

// The panel widths a path packs: W (tiled path) and V (one-vector path), per element type.
struct PanelWidths {
    std::size_t tile64, tile32, strip64, strip32;
};

PanelWidths panel_widths(cf::KernelPath path) {
    switch (path) {
        case cf::KernelPath::avx512f: return {24, 64, 8, 16};
        case cf::KernelPath::avx2_fma: return {12, 24, 4, 8};
        case cf::KernelPath::portable: return {6, 12, 2, 4};
    }
    return {};
}

// Records the sizes of the panel buffers taken and given back while it lives.
class PanelRecorder {
public:
    PanelRecorder() {
        allocated().clear();
        freed().clear();
        zubrin_simd_core::vec::aligned::detail::set_allocation_hooks(&hooks);
    }
    PanelRecorder(const PanelRecorder&) = delete;
    PanelRecorder& operator=(const PanelRecorder&) = delete;
    ~PanelRecorder() { zubrin_simd_core::vec::aligned::detail::set_allocation_hooks(nullptr); }

    static std::vector<std::size_t>& allocated() {
        static std::vector<std::size_t> bytes;
        return bytes;
    }
    static std::vector<std::size_t>& freed() {
        static std::vector<std::size_t> bytes;
        return bytes;
    }

private:
    static void* allocate(std::size_t bytes, std::size_t alignment) {
        allocated().push_back(bytes);
        return ostrel_local::alloc::thread_alloc(bytes, alignment);
    }
    static void free(void* storage, std::size_t bytes, std::size_t alignment) {
        freed().push_back(bytes);
        ostrel_local::free::thread_free(storage, bytes, alignment);
    }
    static constexpr zubrin_simd_core::vec::aligned::detail::AllocationHooks hooks{allocate, free};
};

struct GemmShape {
    std::size_t m, n, k;
};

// One product against the written-down chain, C followed by guard elements that must survive.
template <class T>
void check_product(const GemmShape& s, Inputs inputs, bool zero_c) {
    const T guard = -std::numeric_limits<T>::infinity();
    const auto a = make_inputs<T>(s.m * s.k, inputs, 61);
    const auto b = make_inputs<T>(s.k * s.n, inputs, 62);
    std::vector<T> c = zero_c ? std::vector<T>(s.m * s.n, T(0)) : make_inputs<T>(s.m * s.n, inputs, 63);
    c.insert(c.end(), 3, guard);
    std::vector<T> expected = c;
    reference_gemm<T>(a, b, expected, s.m, s.n, s.k);
    Scalar<T>::tiled_gemm(a, b, c, s.m, s.n, s.k);
    for (std::size_t e = 0; e < c.size(); ++e) ASSERT_TRUE(bits_equal(c[e], expected[e])) << "element " << e;
}

// Shapes around the path bounds, the row groups of 3 and 6, the panel widths of every path (6,
// 12, 24, 64) and their strips; float64 n = 17 runs two portable panels of 6 and strips of 2, 2
// and 1 columns, float32 n = 13 one panel of 12 and a strip of one column.
TEST_P(ScalarPathTest, TiledGemmIsTheFusedChainOnThisPath) {
    const GemmShape shapes[] = {{16, 16, 32}, {15, 16, 32}, {16, 15, 32}, {16, 16, 31}, {16, 17, 32},
                                {16, 13, 32}, {17, 25, 33}, {19, 30, 40}, {20, 40, 35}, {22, 71, 32},
                                {1, 9, 40},   {2, 3, 5},    {5, 17, 1},   {7, 33, 31}, {3, 64, 2}};
    for (Inputs inputs : {Inputs::mixed, Inputs::specials}) {
        for (const GemmShape& s : shapes) {
            SCOPED_TRACE(testing::Message() << (inputs == Inputs::mixed ? "mixed" : "specials") << " m " << s.m
                                            << " n " << s.n << " k " << s.k);
            check_product<float>(s, inputs, false);
            check_product<double>(s, inputs, false);
        }
    }
    // A cleared C receives A·B, each element the chain from +0.
    check_product<double>({18, 29, 40}, Inputs::mixed, true);
    check_product<float>({4, 7, 9}, Inputs::mixed, true);
}

// B is packed from 512 KiB on, into one panel of this path's width per call, freed before the
// call returns; packed products are the same chain.
TEST_P(ScalarPathTest, TiledGemmPacksThisPathsPanelsFromHalfAMebibyte) {
    const PanelWidths widths = panel_widths(GetParam());
    struct Case {
        const char* name;
        bool float64;
        GemmShape shape;
        std::size_t panel_width;  // 0: no packing
    };
    const Case cases[] = {
        {"float64 tiled, n·k = 65536", true, {16, 256, 256}, widths.tile64},
        {"float64 tiled, n·k = 65535", true, {16, 255, 257}, 0},
        {"float32 tiled, n·k = 131072", false, {16, 256, 512}, widths.tile32},
        {"float32 tiled, n·k = 131070", false, {16, 255, 514}, 0},
        {"float64 one-vector path", true, {2, 65536, 1}, widths.strip64},
        {"float32 one-vector path", false, {3, 4096, 32}, widths.strip32},
        {"float64 single row", true, {1, 65536, 2}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PanelRecorder recorder;
        if (c.float64) {
            check_product<double>(c.shape, Inputs::mixed, false);
        } else {
            check_product<float>(c.shape, Inputs::mixed, false);
        }
        if (c.panel_width == 0) {
            EXPECT_TRUE(PanelRecorder::allocated().empty());
        } else {
            const std::size_t bytes = c.panel_width * c.shape.k * (c.float64 ? 8 : 4);
            EXPECT_EQ(PanelRecorder::allocated(), std::vector<std::size_t>{bytes});
            EXPECT_EQ(PanelRecorder::freed(), std::vector<std::size_t>{bytes});
        }
    }
}

// Inconsistent operands: C unchanged, nothing raised, no buffer taken; nothing to multiply: C
// unchanged.
TEST_P(ScalarPathTest, TiledGemmLeavesCUnchangedOnBadOrEmptyOperands) {
    constexpr std::uint64_t two32 = std::uint64_t{1} << 32;
    struct Case {
        const char* name;
        std::size_t a_len, b_len, c_len;
        std::uint64_t m, n, k;
    };
    const Case cases[] = {
        {"a one short", 16 * 256 - 1, 256 * 256, 16 * 256, 16, 256, 256},
        {"b one short", 16 * 256, 256 * 256 - 1, 16 * 256, 16, 256, 256},
        {"c one short", 16 * 256, 256 * 256, 16 * 256 - 1, 16, 256, 256},
        {"m times n overflows", 4, 4, 4, two32, two32, 0},
        {"k zero", 0, 0, 12, 3, 4, 0},
        {"m zero", 0, 36, 0, 0, 4, 9},
        {"n zero", 27, 0, 0, 3, 0, 9},
    };
    PanelRecorder recorder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<double> a(c.a_len, 1.5), b(c.b_len, 2.0);
        std::vector<double> out(c.c_len + 2, 7.0);
        Scalar<double>::tiled_gemm(a, b, std::span<double>(out).first(c.c_len), c.m, c.n, c.k);
        EXPECT_EQ(out, std::vector<double>(c.c_len + 2, 7.0));
        const std::vector<float> a32(c.a_len, 1.5f), b32(c.b_len, 2.0f);
        std::vector<float> out32(c.c_len + 2, 7.0f);
        Scalar<float>::tiled_gemm(a32, b32, std::span<float>(out32).first(c.c_len), c.m, c.n, c.k);
        EXPECT_EQ(out32, std::vector<float>(c.c_len + 2, 7.0f));
    }
    EXPECT_TRUE(PanelRecorder::allocated().empty());
}

// A zero of A against an infinity of B gives NaN in that element only; a chain of −0 products
// onto −0 stays −0.
TEST_P(ScalarPathTest, TiledGemmZeroTimesInfinityIsNaN) {
    for (GemmShape s : {GemmShape{16, 17, 32}, GemmShape{3, 5, 4}}) {
        SCOPED_TRACE(testing::Message() << "m " << s.m << " n " << s.n << " k " << s.k);
        std::vector<double> a(s.m * s.k, 1.0), b(s.k * s.n, -0.0), c(s.m * s.n, -0.0);
        for (std::size_t p = 0; p < s.k; ++p) a[s.k + p] = 0.0;
        b[(s.k - 1) * s.n + 2] = std::numeric_limits<double>::infinity();
        Scalar<double>::tiled_gemm(a, b, c, s.m, s.n, s.k);
        for (std::size_t i = 0; i < s.m; ++i) {
            for (std::size_t j = 0; j < s.n; ++j) {
                SCOPED_TRACE(testing::Message() << "element (" << i << ", " << j << ")");
                const double v = c[i * s.n + j];
                if (j == 2) {
                    EXPECT_TRUE(i == 1 ? std::isnan(v) : v == std::numeric_limits<double>::infinity());
                } else {
                    EXPECT_TRUE(bits_equal(v, -0.0));
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, ScalarPathTest, testing::ValuesIn(all_paths), path_param_name);

// The path choice shows in the panel a packed product takes: AVX2 without FMA and no vector
// extension at all take the portable one.
TEST(ScalarDispatchTest, TiledGemmPanelsFollowTheForcedWord) {
    const cf::FeatureWord m = cf::detected_marker;
    struct Row {
        const char* name;
        cf::FeatureWord word;
        cf::KernelPath selects;
    };
    const Row rows[] = {
        {"AVX-512F", m | cf::avx512f_flag | cf::avx2_flag | cf::fma_flag, cf::KernelPath::avx512f},
        {"AVX2 and FMA", m | cf::avx2_flag | cf::fma_flag, cf::KernelPath::avx2_fma},
        {"AVX2 without FMA", m | cf::avx2_flag, cf::KernelPath::portable},
        {"nothing", m, cf::KernelPath::portable},
    };
    const GemmShape s{2, 65536, 1};  // the one-vector path packs strips of V columns
    const std::vector<double> a(s.m * s.k, 1.0), b(s.k * s.n, 2.0);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (!cpu_runs(row.selects)) continue;
        ForcedFeatureWord forced(row.word);
        PanelRecorder recorder;
        std::vector<double> c(s.m * s.n, 0.0);
        Scalar<double>::tiled_gemm(a, b, c, s.m, s.n, s.k);
        EXPECT_EQ(c, std::vector<double>(s.m * s.n, 2.0));
        EXPECT_EQ(PanelRecorder::allocated(), std::vector<std::size_t>{panel_widths(row.selects).strip64 * 8});
    }
}

// The rule, seen through results: on data whose dot products differ in the last bits between
// the paths, each forced word must give the result of the path it selects.
TEST(ScalarDispatchTest, ForcedWordsSelectTheirPath) {
    const auto a = make_inputs<float>(4000, Inputs::mixed, 9), b = make_inputs<float>(4000, Inputs::mixed, 10);
    struct Row {
        const char* name;
        cf::FeatureWord word;
        cf::KernelPath selects;
    };
    const cf::FeatureWord m = cf::detected_marker;
    const Row rows[] = {
        {"AVX-512F", m | cf::avx512f_flag | cf::avx2_flag | cf::fma_flag, cf::KernelPath::avx512f},
        {"AVX2 and FMA", m | cf::avx2_flag | cf::fma_flag, cf::KernelPath::avx2_fma},
        {"AVX2 without FMA", m | cf::avx2_flag, cf::KernelPath::portable},
        {"nothing", m, cf::KernelPath::portable},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (!cpu_runs(row.selects)) continue;
        ForcedFeatureWord forced(row.word);
        EXPECT_TRUE(bits_equal(Scalar<float>::dot_slice(a, b), expected_dot<float>(row.selects, a, b)));
    }
    // The data tells the paths apart, so the comparisons above would catch a wrong selection.
    if (cpu_runs(cf::KernelPath::avx2_fma)) {
        EXPECT_FALSE(same_bits(expected_dot<float>(cf::KernelPath::avx2_fma, a, b),
                               expected_dot<float>(cf::KernelPath::portable, a, b)));
    }
    if (cpu_runs(cf::KernelPath::avx512f)) {
        EXPECT_FALSE(same_bits(expected_dot<float>(cf::KernelPath::avx512f, a, b),
                               expected_dot<float>(cf::KernelPath::avx2_fma, a, b)));
    }
}

}  // namespace
