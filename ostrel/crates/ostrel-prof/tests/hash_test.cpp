#include "ostrel_prof/hash.hpp"

#include <gtest/gtest.h>

#include <array>

namespace {

namespace hash = ostrel_prof::hash;

TEST(OstrelProfHashTest, FinaliserMatchesSplitMix64) {
    // SplitMix64's first output for seed 0 is the finaliser of the golden-ratio increment.
    EXPECT_EQ(hash::splitmix64_finalize(0x9e3779b97f4a7c15ull), 0xe220a8397b1dcdafull);
    EXPECT_EQ(hash::splitmix64_finalize(0), 0u);
}

TEST(OstrelProfHashTest, PinnedValues) {
    // Values computed independently from the definition; shard choice depends on them.
    EXPECT_EQ(hash::hash_u64(1), 0x14017ec0f6f467c9ull);
    const std::array<std::uintptr_t, 2> frames{0x401000, 0x7f0012345678};
    EXPECT_EQ(hash::hash_addresses(frames), 0x88d97069337a8a1dull);
    EXPECT_EQ(hash::hash_addresses(frames) % 64, 29u);
    EXPECT_EQ(hash::hash_addresses({}), hash::hash_u64(0));
}

TEST(OstrelProfHashTest, SequencesDifferByOrderAndLength) {
    const std::array<std::uintptr_t, 2> ab{1, 2}, ba{2, 1};
    const std::array<std::uintptr_t, 3> ab0{1, 2, 0};
    EXPECT_NE(hash::hash_addresses(ab), hash::hash_addresses(ba));
    EXPECT_NE(hash::hash_addresses(ab), hash::hash_addresses(ab0));
    EXPECT_EQ(hash::FastBuildHasher{}(std::uint64_t{1}), hash::hash_u64(1));
}

}  // namespace
