#include "zubrin_simd_core/tiling/gemm.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

namespace {

using zubrin_simd_core::error::SimdError;
using zubrin_simd_core::tiling::gemm::check_tiled_gemm_dimensions;
using zubrin_simd_core::tiling::gemm::reaches_packing_threshold;
using zubrin_simd_core::tiling::gemm::tiled_gemm_nest;

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

TEST(GemmPackingThresholdTest, Table) {
    struct Row {
        const char* name;
        std::uint64_t n, k;
        std::size_t element_bytes;
        bool expected;
    };
    const Row rows[] = {
        {"float64, exactly 512 KiB", 256, 256, 8, true},
        {"float64, just below", 255, 257, 8, false},
        {"float32, exactly 512 KiB", 256, 512, 4, true},
        {"float32, just below", 255, 514, 4, false},
        {"n times k overflows", two32, two32, 4, true},
        {"bytes overflow", max_u64 / 4, 1, 8, true},
        {"empty", 0, 1000000, 8, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(reaches_packing_threshold(row.n, row.k, row.element_bytes), row.expected);
    }
}

// A scalar geometry of its own (2 rows × 2 vectors of 2 lanes) that logs where each vector is
// stored, so the loop nest can be checked apart from any instruction set.
struct StoreLog {
    static inline std::vector<const double*> stores;
};

struct LoggingTile {
    using T = double;
    struct V {
        double lane[2];
    };
    using Mask = std::size_t;
    static constexpr std::size_t rows = 2;
    static constexpr std::size_t vectors = 2;
    static constexpr std::size_t lanes = 2;
    static V splat(double x) { return {{x, x}}; }
    static V load(const double* p) { return {{p[0], p[1]}}; }
    static V load_register(const double* p) { return load(p); }
    static void store(double* p, V v) {
        StoreLog::stores.push_back(p);
        p[0] = v.lane[0];
        p[1] = v.lane[1];
    }
    static V fma(V x, V y, V acc) {
        return {{std::fma(x.lane[0], y.lane[0], acc.lane[0]), std::fma(x.lane[1], y.lane[1], acc.lane[1])}};
    }
    static Mask tail_mask(std::size_t w) { return w; }
    static V load_tail(Mask w, const double* p) { return {{p[0], w > 1 ? p[1] : 0.0}}; }
    static void store_tail(double* p, Mask w, V v) {
        StoreLog::stores.push_back(p);
        p[0] = v.lane[0];
        if (w > 1) p[1] = v.lane[1];
    }
    static void prefetch(const double*) {}
};

struct Operands {
    std::vector<double> a, b, c;
};

Operands random_operands(std::size_t m, std::size_t n, std::size_t k) {
    std::mt19937_64 rng(m * 1000003 + n * 1009 + k);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    Operands ops{std::vector<double>(m * k), std::vector<double>(k * n), std::vector<double>(m * n)};
    for (auto* v : {&ops.a, &ops.b, &ops.c})
        for (double& x : *v) x = std::ldexp(unit(rng), static_cast<int>(rng() % 25) - 12);
    return ops;
}

// Every element is the chain fma(a(i, p), b(p, j), c) over increasing p, for shapes on both
// paths, packed and in place, with full tiles, short row groups and one-lane strips.
TEST(GemmNestTest, AnyGeometryGivesTheFusedChain) {
    struct Shape {
        std::size_t m, n, k;
    };
    for (Shape s : {Shape{16, 16, 32}, Shape{17, 19, 33}, Shape{16, 17, 4096}, Shape{15, 16, 32}, Shape{3, 5, 7},
                    Shape{2, 33, 2048}, Shape{1, 3, 4}, Shape{4, 4, 0}, Shape{5, 6, 9}, Shape{7, 23, 40},
                    Shape{17, 23, 33}}) {
        SCOPED_TRACE(testing::Message() << "m " << s.m << " n " << s.n << " k " << s.k);
        Operands ops = random_operands(s.m, s.n, s.k);
        std::vector<double> expected = ops.c;
        for (std::size_t i = 0; i < s.m; ++i)
            for (std::size_t j = 0; j < s.n; ++j)
                for (std::size_t p = 0; p < s.k; ++p)
                    expected[i * s.n + j] = std::fma(ops.a[i * s.k + p], ops.b[p * s.n + j], expected[i * s.n + j]);
        tiled_gemm_nest<LoggingTile>(ops.a.data(), ops.b.data(), ops.c.data(), s.m, s.n, s.k);
        for (std::size_t e = 0; e < expected.size(); ++e) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(ops.c[e]), std::bit_cast<std::uint64_t>(expected[e])) << e;
        }
    }
}

// Packed, one copy of a panel serves every row group, so panels are outermost; in place, row
// groups are outermost. Either way the columns past the last full panel come last, strip by strip.
TEST(GemmNestTest, LoopOrderFollowsThePacking) {
    struct Case {
        const char* name;
        std::size_t k;
        bool panels_outermost;
    };
    // 16 × 18: four panels of 4 columns and one strip of 2; k = 4096 puts B at 576 KiB.
    const std::size_t m = 16, n = 18;
    for (Case c : {Case{"packed", 4096, true}, Case{"in place", 32, false}}) {
        SCOPED_TRACE(c.name);
        Operands ops = random_operands(m, n, c.k);
        StoreLog::stores.clear();
        tiled_gemm_nest<LoggingTile>(ops.a.data(), ops.b.data(), ops.c.data(), m, n, c.k);
        // Each store to C names its tile (or, past column 16, its strip and row pair); runs of
        // stores to one tile collapse into one visit. Stores into the panel are skipped.
        std::vector<std::pair<std::size_t, std::size_t>> tiles;
        for (const double* p : StoreLog::stores) {
            if (p < ops.c.data() || p >= ops.c.data() + ops.c.size()) continue;
            const std::size_t e = static_cast<std::size_t>(p - ops.c.data());
            const std::pair<std::size_t, std::size_t> tile{e / n - e / n % 2, e % n < 16 ? e % n - e % n % 4 : 16};
            if (tiles.empty() || tiles.back() != tile) tiles.push_back(tile);
        }
        std::vector<std::pair<std::size_t, std::size_t>> expected;
        if (c.panels_outermost) {
            for (std::size_t j0 = 0; j0 < 16; j0 += 4)
                for (std::size_t i0 = 0; i0 < m; i0 += 2) expected.emplace_back(i0, j0);
        } else {
            for (std::size_t i0 = 0; i0 < m; i0 += 2)
                for (std::size_t j0 = 0; j0 < 16; j0 += 4) expected.emplace_back(i0, j0);
        }
        for (std::size_t i0 = 0; i0 < m; i0 += 2) expected.emplace_back(i0, 16);
        EXPECT_EQ(tiles, expected);
    }
}

}  // namespace
