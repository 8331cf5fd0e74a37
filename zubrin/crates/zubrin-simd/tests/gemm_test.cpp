#include "zubrin_simd/dispatch/gemm.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "kernel_test_support.hpp"
#include "ostrel_local/alloc.hpp"
#include "ostrel_local/free.hpp"
#include "zubrin_simd_core/vec/aligned.hpp"

namespace {

using namespace kernel_test;
using zubrin_simd::dispatch::gemm::SimdError;
namespace dg = zubrin_simd::dispatch::gemm::dispatch_tiled_gemm;
namespace aligned = zubrin_simd_core::vec::aligned::detail;

template <class T>
using GemmKernel = SimdError (*)(std::span<const T>, std::span<const T>, std::span<T>, std::uint64_t, std::uint64_t,
                                 std::uint64_t) noexcept;

// A variant with the panel widths it packs: W for the tiled path, V for the one-vector path.
struct GemmVariant {
    const char* name;
    bool (*available)();
    GemmKernel<float> f32;
    GemmKernel<double> f64;
    std::size_t tile_width32, tile_width64;
    std::size_t lanes32, lanes64;
};

const GemmVariant variants[] = {
    {"avx512f", has_avx512f, dg::dispatch_tiled_gemm_avx512f, dg::dispatch_tiled_gemm_avx512f, 64, 24, 16, 8},
    {"avx2_fma", has_avx2_fma, dg::dispatch_tiled_gemm_avx2_fma, dg::dispatch_tiled_gemm_avx2_fma, 24, 12, 8, 4},
};

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

// Every panel buffer a call takes and gives back, served by the real allocator.
struct PanelCall {
    std::size_t bytes;
    std::size_t alignment;
};
std::vector<PanelCall> panel_allocations;
std::vector<PanelCall> panel_frees;

void* recording_allocate(std::size_t bytes, std::size_t alignment) {
    panel_allocations.push_back({bytes, alignment});
    return ostrel_local::alloc::thread_alloc(bytes, alignment);
}

void recording_free(void* storage, std::size_t bytes, std::size_t alignment) {
    panel_frees.push_back({bytes, alignment});
    ostrel_local::free::thread_free(storage, bytes, alignment);
}

constexpr aligned::AllocationHooks recording_hooks{recording_allocate, recording_free};

struct Shape {
    std::size_t m, n, k;
};

// Around the path bounds (16, 16, 32), every tile's row count (3, 6) and width (12, 24, 64), the
// strip widths (4, 8, 16) and the one-vector path's strips.
std::vector<Shape> differential_shapes() {
    std::vector<Shape> shapes = {
        {0, 5, 7},    {5, 0, 7},    {5, 7, 0},    {16, 16, 32}, {15, 16, 32}, {16, 15, 32}, {16, 16, 31},
        {15, 15, 31}, {1, 1, 1},    {1, 33, 40},  {2, 17, 3},   {7, 9, 100},  {3, 64, 1},   {17, 20, 33},
        {16, 40, 32}, {18, 23, 32}, {19, 25, 35}, {22, 47, 40}, {23, 48, 33}, {21, 65, 34}, {20, 71, 32},
        {25, 88, 36}, {31, 129, 37},
        // One-vector path in place: row groups by several strips and by a partial count of strips.
        {13, 100, 31}, {32, 16, 16},  {8, 56, 9},
        // Tiled path past the last panel: several whole vectors, then a masked strip.
        {40, 56, 33},  {38, 32, 256}, {33, 120, 40}};
    for (std::size_t n : {1, 3, 4, 5, 8, 9, 12, 15, 16, 17}) shapes.push_back({5, n, 2});
    for (std::size_t m : {16, 17, 18, 19, 20, 21}) shapes.push_back({m, 24, 32});
    return shapes;
}

class TiledGemmTest : public testing::TestWithParam<GemmVariant> {
protected:
    void SetUp() override {
        if (!GetParam().available()) GTEST_SKIP() << "CPU lacks " << GetParam().name;
        panel_allocations.clear();
        panel_frees.clear();
        aligned::set_allocation_hooks(&recording_hooks);
    }
    void TearDown() override { aligned::set_allocation_hooks(nullptr); }

    // A and B end at (or just before) a fault page, so any read past them faults; C is followed
    // by `extra` guard elements (C longer than m·n) and guarded around, so a stray write shows.
    // The whole product must equal the fused chain bit for bit.
    template <class T>
    void check_shapes(GemmKernel<T> kernel, const std::vector<Shape>& shapes, std::initializer_list<Inputs> inputs) {
        const T guard = -std::numeric_limits<T>::infinity();
        for (Inputs set : inputs) {
            for (const Shape& s : shapes) {
                const std::vector<T> a_values = make_inputs<T>(s.m * s.k, set, 41);
                const std::vector<T> b_values = make_inputs<T>(s.k * s.n, set, 42);
                const std::vector<T> c_values = make_inputs<T>(s.m * s.n, set, 43);
                std::vector<T> expected = c_values;
                reference_gemm<T>(a_values, b_values, expected, s.m, s.n, s.k);
                GuardedRegion region_a(a_values.size() * sizeof(T) + 256);
                GuardedRegion region_b(b_values.size() * sizeof(T) + 256);
                GuardedRegion region_c(c_values.size() * sizeof(T) + 256);
                for (std::size_t gap : end_gaps({3})) {
                    for (std::size_t extra : {0, 5}) {
                        SCOPED_TRACE(testing::Message() << name_of(set) << " m " << s.m << " n " << s.n << " k "
                                                        << s.k << " gap " << gap << " extra " << extra);
                        std::span<T> a = region_a.place<T>(a_values.size(), gap, T(0));
                        std::span<T> b = region_b.place<T>(b_values.size(), gap, T(0));
                        std::span<T> c = region_c.place<T>(c_values.size() + extra, gap, guard);
                        std::copy(a_values.begin(), a_values.end(), a.begin());
                        std::copy(b_values.begin(), b_values.end(), b.begin());
                        std::copy(c_values.begin(), c_values.end(), c.begin());
                        ASSERT_EQ(kernel(a, b, c, s.m, s.n, s.k), SimdError::success);
                        for (std::size_t e = 0; e < expected.size(); ++e) {
                            ASSERT_TRUE(bits_equal(c[e], expected[e]))
                                << "element (" << e / s.n << ", " << e % s.n << ")";
                        }
                        ASSERT_TRUE(region_c.untouched_outside<T>(c.first(c_values.size()), guard));
                    }
                }
            }
        }
    }
};

TEST_P(TiledGemmTest, Float32IsTheFusedChainOnEveryShape) {
    check_shapes<float>(GetParam().f32, differential_shapes(), {Inputs::mixed, Inputs::specials});
}

TEST_P(TiledGemmTest, Float64IsTheFusedChainOnEveryShape) {
    check_shapes<double>(GetParam().f64, differential_shapes(), {Inputs::mixed, Inputs::specials});
}

TEST_P(TiledGemmTest, SubnormalOperandsAreNotFlushed) {
    const std::vector<Shape> shapes = {{16, 16, 32}, {3, 5, 7}};
    check_shapes<float>(GetParam().f32, shapes, {Inputs::subnormal});
    check_shapes<double>(GetParam().f64, shapes, {Inputs::subnormal});
}

// Packing starts at 512 KiB of B, on both paths; packed and unpacked products alike are the chain.
// The panel holds W·k elements (tiled) or V·k (one-vector), is 64-byte aligned, is the only buffer
// of the call and is freed with its own size before the call returns.
TEST_P(TiledGemmTest, PackingStartsAtHalfAMebibyteOfB) {
    const GemmVariant& v = GetParam();
    struct Case {
        const char* name;
        bool float64;
        Shape shape;
        std::size_t panel_width;  // 0: no packing
    };
    const Case cases[] = {
        {"float64 tiled, B of exactly 512 KiB", true, {16, 256, 256}, v.tile_width64},
        {"float64 tiled, B just below", true, {17, 255, 257}, 0},
        {"float32 tiled, B of exactly 512 KiB", false, {16, 256, 512}, v.tile_width32},
        {"float32 tiled, B just below", false, {19, 255, 514}, 0},
        {"float64 one-vector path (k below 32)", true, {16, 2115, 31}, v.lanes64},
        {"float32 one-vector path (m below 16)", false, {2, 4100, 32}, v.lanes32},
        {"float64 single row never packs", true, {1, 8192, 64}, 0},
        {"float32 tiled, n below one panel (24 or 64 wide)", false, {16, 20, 7000}, 0},
        {"float32 one-vector path, n below one strip", false, {3, 7, 20000}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        panel_allocations.clear();
        panel_frees.clear();
        const Shape& s = c.shape;
        if (c.float64) {
            check_shapes<double>(v.f64, {s}, {Inputs::mixed});
        } else {
            check_shapes<float>(v.f32, {s}, {Inputs::mixed});
        }
        // check_shapes calls the kernel once per gap and per C length.
        const std::size_t calls = end_gaps({3}).size() * 2;
        if (c.panel_width == 0) {
            EXPECT_TRUE(panel_allocations.empty());
        } else {
            const std::size_t bytes = c.panel_width * s.k * (c.float64 ? 8 : 4);
            ASSERT_EQ(panel_allocations.size(), calls);
            ASSERT_EQ(panel_frees.size(), calls);
            for (std::size_t i = 0; i < calls; ++i) {
                EXPECT_EQ(panel_allocations[i].bytes, bytes);
                EXPECT_EQ(panel_allocations[i].alignment, 64u);
                EXPECT_EQ(panel_frees[i].bytes, bytes);
                EXPECT_EQ(panel_frees[i].alignment, 64u);
            }
        }
    }
}

// A refused product writes nothing and takes no buffer; a C too short is a plain mismatch.
TEST_P(TiledGemmTest, RefusedOperandsLeaveCUntouched) {
    constexpr std::uint64_t two32 = std::uint64_t{1} << 32;
    struct Case {
        const char* name;
        std::size_t a_len, b_len, c_len;
        std::uint64_t m, n, k;
    };
    // 16 × 256 × 256: a product that would pack, had it been accepted.
    const Case cases[] = {
        {"a one short", 16 * 256 - 1, 256 * 256, 16 * 256, 16, 256, 256},
        {"b one short", 16 * 256, 256 * 256 - 1, 16 * 256, 16, 256, 256},
        {"c one short", 16 * 256, 256 * 256, 16 * 256 - 1, 16, 256, 256},
        {"m times n overflows", 4, 4, 4, two32, two32, 0},
        {"m times k overflows", 4, 4, 4, two32, 0, two32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<double> a(c.a_len, 1.5), b(c.b_len, 2.0);
        const std::vector<double> untouched(c.c_len, 7.0);
        std::vector<double> out = untouched;
        EXPECT_EQ(GetParam().f64(a, b, out, c.m, c.n, c.k), SimdError::mismatch);
        EXPECT_EQ(out, untouched);
        const std::vector<float> a32(c.a_len, 1.5f), b32(c.b_len, 2.0f);
        std::vector<float> out32(c.c_len, 7.0f);
        EXPECT_EQ(GetParam().f32(a32, b32, out32, c.m, c.n, c.k), SimdError::mismatch);
        EXPECT_EQ(out32, std::vector<float>(c.c_len, 7.0f));
    }
    EXPECT_TRUE(panel_allocations.empty());
}

// Nothing to multiply: success and C unchanged.
TEST_P(TiledGemmTest, EmptyExtentsSucceedWithoutWriting) {
    struct Case {
        std::size_t m, n, k;
    };
    for (const Case& s : {Case{3, 4, 0}, Case{0, 4, 9}, Case{3, 0, 9}, Case{40, 40, 0}}) {
        SCOPED_TRACE(testing::Message() << "m " << s.m << " n " << s.n << " k " << s.k);
        const std::vector<double> a(s.m * s.k, 1.0), b(s.k * s.n, 1.0);
        std::vector<double> c(s.m * s.n + 2, 3.0);
        EXPECT_EQ(GetParam().f64(a, b, c, s.m, s.n, s.k), SimdError::success);
        EXPECT_EQ(c, std::vector<double>(s.m * s.n + 2, 3.0));
        const std::vector<float> a32(s.m * s.k, 1.0f), b32(s.k * s.n, 1.0f);
        std::vector<float> c32(s.m * s.n + 2, 3.0f);
        EXPECT_EQ(GetParam().f32(a32, b32, c32, s.m, s.n, s.k), SimdError::success);
        EXPECT_EQ(c32, std::vector<float>(s.m * s.n + 2, 3.0f));
    }
}

// No term is skipped and C is the chain's start: with B all −0 and C −0, rows of A equal to one
// keep −0 (−0 + −0), a row of −0 turns +0 (its products are +0), and an infinity in B's last row
// gives NaN against that zero row (0 · ∞) and +∞ elsewhere. On the tiled path (full tiles and a
// masked strip) and on the one-vector path.
TEST_P(TiledGemmTest, ZeroTimesInfinityIsNaNAndSignedZerosFollowTheChain) {
    for (Shape s : {Shape{16, 30, 32}, Shape{4, 11, 5}}) {
        SCOPED_TRACE(testing::Message() << "m " << s.m << " n " << s.n << " k " << s.k);
        std::vector<double> a(s.m * s.k, 1.0), b(s.k * s.n, -0.0), c(s.m * s.n, -0.0);
        for (std::size_t p = 0; p < s.k; ++p) a[1 * s.k + p] = -0.0;
        b[(s.k - 1) * s.n + (s.n - 1)] = std::numeric_limits<double>::infinity();
        ASSERT_EQ(GetParam().f64(a, b, c, s.m, s.n, s.k), SimdError::success);
        for (std::size_t i = 0; i < s.m; ++i) {
            for (std::size_t j = 0; j < s.n; ++j) {
                SCOPED_TRACE(testing::Message() << "element (" << i << ", " << j << ")");
                const double v = c[i * s.n + j];
                if (j == s.n - 1) {
                    EXPECT_TRUE(i == 1 ? std::isnan(v) : v == std::numeric_limits<double>::infinity());
                } else {
                    EXPECT_TRUE(bits_equal(v, i == 1 ? 0.0 : -0.0));
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, TiledGemmTest, testing::ValuesIn(variants),
                         [](const testing::TestParamInfo<GemmVariant>& info) { return std::string(info.param.name); });

}  // namespace
