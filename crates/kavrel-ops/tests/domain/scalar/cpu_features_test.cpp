#include "kavrel_ops/domain/scalar/cpu_features.hpp"

#include <gtest/gtest.h>

#include "support/scalar.hpp"

namespace {

using namespace scalar_test;

TEST(CpuFeaturesTest, PathRule) {
    struct Row {
        const char* name;
        cf::FeatureWord word;
        cf::KernelPath expected;
    };
    const cf::FeatureWord m = cf::detected_marker;
    const Row rows[] = {
        {"nothing", m, cf::KernelPath::portable},
        {"AVX2 without FMA", m | cf::avx2_flag, cf::KernelPath::portable},
        {"FMA without AVX2", m | cf::fma_flag, cf::KernelPath::portable},
        {"AVX2 and FMA", m | cf::avx2_flag | cf::fma_flag, cf::KernelPath::avx2_fma},
        {"AVX-512F alone", m | cf::avx512f_flag, cf::KernelPath::avx512f},
        {"everything", m | cf::avx512f_flag | cf::avx2_flag | cf::fma_flag, cf::KernelPath::avx512f},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(cf::path_for(row.word), row.expected);
    }
}

// libgcc's own CPUID/XGETBV reading is the independent witness here.
TEST(CpuFeaturesTest, DetectionAgreesWithTheCompilerRuntime) {
    const cf::FeatureWord word = cf::detect_features();
    EXPECT_NE(word & cf::detected_marker, 0u);
    EXPECT_EQ((word & cf::avx512f_flag) != 0, static_cast<bool>(__builtin_cpu_supports("avx512f")));
    EXPECT_EQ((word & cf::avx2_flag) != 0, static_cast<bool>(__builtin_cpu_supports("avx2")));
    EXPECT_EQ((word & cf::fma_flag) != 0, static_cast<bool>(__builtin_cpu_supports("fma")));
}

TEST(CpuFeaturesTest, CachedWordIsDetectedOnceAndCanBeForcedFromCpp) {
    cf::detail::force_feature_word(0);
    EXPECT_EQ(cf::feature_word(), cf::detect_features());
    {
        ForcedFeatureWord forced(cf::detected_marker | cf::avx2_flag);
        EXPECT_EQ(cf::feature_word(), cf::detected_marker | cf::avx2_flag);
        EXPECT_EQ(cf::kernel_path(), cf::KernelPath::portable);
    }
    // Clearing the word makes the next reader detect again.
    EXPECT_EQ(cf::feature_word(), cf::detect_features());
    EXPECT_EQ(cf::kernel_path(), cf::path_for(cf::detect_features()));
}

// Each path gets its own member, and an overloaded kernel name takes the portable member's
// signature: a float argument still reaches the double overload.
constexpr int kernel(float) noexcept { return 32; }
constexpr int kernel(double) noexcept { return 64; }
constexpr int portable_kernel(double) noexcept { return 0; }
static_assert(cf::for_path(cf::KernelPath::avx512f, 1, 2, 3) == 1);
static_assert(cf::for_path(cf::KernelPath::avx2_fma, 1, 2, 3) == 2);
static_assert(cf::for_path(cf::KernelPath::portable, 1, 2, 3) == 3);
static_assert(cf::for_path(cf::KernelPath::avx2_fma, kernel, kernel, portable_kernel)(1.0f) == 64);
static_assert(cf::for_path(cf::KernelPath::portable, kernel, kernel, portable_kernel)(1.0f) == 0);

}  // namespace
