#include "ostrel_local/bin_stats/batch.hpp"

#include <gtest/gtest.h>

namespace {

namespace batch = ostrel_local::bin_stats::batch;

TEST(OstrelBinStatsTest, CountsReachTheGlobalCounterIn64s) {
    batch::ThreadBinStats stats{};
    std::uint64_t before = batch::ALLOC_COUNT[5].load();
    for (int i = 0; i < 63; ++i) batch::record_alloc(&stats, 5, 10);
    EXPECT_EQ(batch::ALLOC_COUNT[5].load(), before);
    EXPECT_EQ(stats.allocs[5].count, 63u);
    batch::record_alloc(&stats, 5, 10);
    EXPECT_EQ(batch::ALLOC_COUNT[5].load(), before + 64);
    EXPECT_EQ(stats.allocs[5].count, 0u);
}

TEST(OstrelBinStatsTest, AnotherClassInTheSlotPassesThePendingCountOn) {
    batch::ThreadBinStats stats{};
    std::uint64_t three = batch::DEALLOC_COUNT[3].load(), eleven = batch::DEALLOC_COUNT[11].load();
    for (int i = 0; i < 5; ++i) batch::record_free(&stats, 3);
    batch::record_free(&stats, 11);  // same slot: 11 mod 8 = 3
    EXPECT_EQ(batch::DEALLOC_COUNT[3].load(), three + 5);
    EXPECT_EQ(stats.frees[3].size_class, 11);
    EXPECT_EQ(stats.frees[3].count, 1u);
    batch::ThreadBinStats::flush(stats);
    EXPECT_EQ(batch::DEALLOC_COUNT[11].load(), eleven + 1);
    EXPECT_EQ(stats.frees[3].count, 0u);
}

TEST(OstrelBinStatsTest, RequestedBytesAndUnbatchedEventsCountAtOnce) {
    std::uint64_t bytes = batch::REQUESTED_BYTES[7].load(), allocs = batch::ALLOC_COUNT[7].load();
    batch::ThreadBinStats stats{};
    batch::record_alloc(&stats, 7, 100);
    EXPECT_EQ(batch::REQUESTED_BYTES[7].load(), bytes + 100);
    batch::record_alloc(nullptr, 7, 28);
    EXPECT_EQ(batch::ALLOC_COUNT[7].load(), allocs + 1) << "a thread without a slot never flushes";
    EXPECT_EQ(batch::REQUESTED_BYTES[7].load(), bytes + 128);
}

}  // namespace
