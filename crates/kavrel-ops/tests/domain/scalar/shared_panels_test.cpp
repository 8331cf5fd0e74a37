#include "kavrel_ops/domain/scalar/shared_panels.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kavrel_ops/application/matrix/generic_kernel.hpp"
#include "kavrel_ops/application/matrix/types.hpp"
#include "kavrel_ops/domain/scalar/contract.hpp"
#include "support/scalar.hpp"

namespace {

namespace sp = kavrel_ops::domain::scalar::shared_panels;
namespace gk = kavrel_ops::application::matrix::generic_kernel;
using kavrel_ops::application::matrix::types::MatmulDims;
using kavrel_ops::domain::scalar::contract::Scalar;
using scalar_test::Inputs;
using scalar_test::make_inputs;
using scalar_test::same_bits;

class SharedPanelsTest : public scalar_test::ForcedPathTest {};

struct Shape {
    std::uint64_t m, n, k;
};

// The blocks of one product over B read its shared panels: each block gets exactly the bits of
// its own tiled_gemm call, which packs B itself. Shapes at the packing threshold (float
// 256 × 512 packs, 255 × 514 does not; double 256 × 256 and 255 × 257), n around every path's
// panel width (6, 12, 24, 64) and blocks of 16 to 32 rows, a short block of 5 taking the
// one-vector path.
template <class T>
void expect_blocks_match_tiled_gemm(const std::vector<Shape>& shapes) {
    std::size_t packed_shapes = 0;
    for (const Shape& s : shapes) {
        SCOPED_TRACE("m " + std::to_string(s.m) + " n " + std::to_string(s.n) + " k " + std::to_string(s.k));
        const auto a = make_inputs<T>(s.m * s.k, Inputs::mixed, s.m + 1);
        const auto b = make_inputs<T>(s.k * s.n, Inputs::mixed, s.n + 2);
        const auto c0 = make_inputs<T>(s.m * s.n, Inputs::mixed, s.k + 3);
        std::vector<T> want = c0, got = c0;
        Scalar<T>::tiled_gemm(a, b, want, s.m, s.n, s.k);
        // Planned for blocks of 32 rows; a shorter block reads the same record.
        auto panels = sp::plan_shared_panels<T>(b, 32, s.n, s.k);
        ASSERT_EQ(panels.has_value(), s.n * s.k * sizeof(T) >= 524288);
        if (!panels) continue;
        ++packed_shapes;
        // Packed in two pieces, as participants split it.
        sp::pack_shared_panels(*panels, 0, panels->count / 2);
        sp::pack_shared_panels(*panels, panels->count / 2, panels->count);
        sp::tiled_gemm_shared<T>(a, *panels, got, s.m);
        std::size_t differ = 0;
        for (std::size_t i = 0; i < want.size(); ++i) differ += !same_bits(got[i], want[i]);
        EXPECT_EQ(differ, 0u);
    }
    EXPECT_GT(packed_shapes, 0u);
}

TEST_P(SharedPanelsTest, BlocksGetTheBitsOfTheirOwnTiledGemm) {
    if (GetParam() == scalar_test::cf::KernelPath::portable) {
        // One fma call per element step, slow on CPUs without FMA (and under emulation): the
        // smallest packing shapes, with remainder columns past the portable panels of 12 and 6.
        expect_blocks_match_tiled_gemm<float>({{16, 12 * 21 + 7, 512}});
        expect_blocks_match_tiled_gemm<double>({{16, 6 * 43 + 1, 256}});
        return;
    }
    expect_blocks_match_tiled_gemm<float>({{32, 256, 512}, {16, 255, 514}, {17, 300, 520}, {31, 263, 520},
                                           {32, 280, 520}, {5, 300, 520}, {32, 64 * 5 + 17, 400}});
    expect_blocks_match_tiled_gemm<double>({{32, 256, 256}, {16, 255, 257}, {17, 221, 300}, {31, 230, 300},
                                            {32, 239, 300}, {5, 240, 300}, {32, 24 * 9 + 5, 300}});
}

// The generic kernel's dense products, serial and in units, with one packed B for all blocks (and
// for all items of a batch that share B): the bits of one tiled_gemm call per block of 32 rows.
TEST_P(SharedPanelsTest, DenseProductsMatchOneTiledGemmPerBlock) {
    // The drivers do not depend on the path; the portable panels are covered above.
    if (GetParam() == scalar_test::cf::KernelPath::portable) GTEST_SKIP() << "drivers tested on the vector paths";
    for (const Shape& s : {Shape{100, 300, 520}, Shape{64, 257, 512}, Shape{33, 280, 480}}) {
        SCOPED_TRACE("m " + std::to_string(s.m) + " n " + std::to_string(s.n));
        const auto a = make_inputs<float>(s.m * s.k, Inputs::mixed, 7);
        const auto b = make_inputs<float>(s.k * s.n, Inputs::mixed, 8);
        std::vector<float> want(s.m * s.n, 0.0f);
        for (std::uint64_t r = 0; r < s.m; r += 32) {
            const std::uint64_t rows = std::min<std::uint64_t>(32, s.m - r);
            Scalar<float>::tiled_gemm(std::span<const float>(a).subspan(r * s.k, rows * s.k), b,
                                      std::span<float>(want).subspan(r * s.n, rows * s.n), rows, s.n, s.k);
        }
        const MatmulDims dims{s.m, s.k, s.n, static_cast<std::int64_t>(s.k), 1, static_cast<std::int64_t>(s.n), 1,
                              static_cast<std::int64_t>(s.n), 1, 0, 0, 0};
        std::vector<float> serial(s.m * s.n, 0.0f), parallel(s.m * s.n, 0.0f), overwrite(s.m * s.n, 5.0f);
        gk::serial_matmul(a.data(), b.data(), serial.data(), dims);
        gk::parallel_matmul(a.data(), b.data(), parallel.data(), dims);
        const auto shared = gk::pack_shared_b(b.data(), dims, 32, 3);
        ASSERT_TRUE(shared.has_value());
        gk::dense_overwrite(a.data(), b.data(), overwrite.data(), dims, &*shared);
        for (const auto* got : {&serial, &parallel, &overwrite}) {
            std::size_t differ = 0;
            for (std::size_t i = 0; i < want.size(); ++i) differ += !same_bits((*got)[i], want[i]);
            EXPECT_EQ(differ, 0u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, SharedPanelsTest, testing::ValuesIn(scalar_test::all_paths),
                         scalar_test::path_param_name);

TEST(SharedPanelsPlanTest, NoPanelsWhereTiledGemmPacksNone) {
    const std::vector<float> b(600 * 600, 1.0f);
    EXPECT_FALSE(sp::plan_shared_panels<float>(b, 15, 600, 600).has_value());   // one-vector path
    EXPECT_FALSE(sp::plan_shared_panels<float>(b, 32, 600, 31).has_value());    // k below 32
    EXPECT_FALSE(sp::plan_shared_panels<float>(b, 32, 15, 600).has_value());    // n below 16
    EXPECT_FALSE(sp::plan_shared_panels<float>(b, 32, 255, 514).has_value());   // B below 512 KiB
    EXPECT_TRUE(sp::plan_shared_panels<float>(b, 32, 256, 512).has_value());
    const MatmulDims one_block{32, 512, 256, 512, 1, 256, 1, 256, 1, 0, 0, 0};
    EXPECT_FALSE(gk::pack_shared_b(b.data(), one_block, 32, 1).has_value());
    MatmulDims strided = one_block;
    strided.c_row_stride = 300;
    EXPECT_FALSE(gk::pack_shared_b(b.data(), strided, 32, 4).has_value());
}

}  // namespace
