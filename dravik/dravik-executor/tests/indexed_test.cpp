#include "dravik_executor/schedule/runtime/worker/indexed.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "dravik_executor/schedule/runtime/types.hpp"
#include "kavrel/domain/error/error.hpp"

namespace {

using dravik_executor::schedule::runtime::types::indexed_region_depth;
using dravik_executor::schedule::runtime::worker::indexed::indexed_chunk_bounds;
using dravik_executor::schedule::runtime::worker::indexed::IndexedRegionGuard;
using dravik_executor::schedule::runtime::worker::indexed::IndexRange;

TEST(IndexedChunkBoundsTest, TenItemsOverFourParticipants) {
    const IndexRange expected[] = {{0, 3}, {3, 6}, {6, 8}, {8, 10}};
    for (std::uint64_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        IndexRange r = indexed_chunk_bounds(10, 4, i);
        EXPECT_EQ(r.start, expected[i].start);
        EXPECT_EQ(r.end, expected[i].end);
    }
}

TEST(IndexedChunkBoundsTest, ChunksTileTheRangeLongerOnesFirst) {
    for (std::uint64_t n : {1u, 2u, 7u, 64u, 1000u, 1023u}) {
        for (std::uint64_t k : {1u, 2u, 3u, 5u, 9u, 64u}) {
            if (k > n) continue;
            SCOPED_TRACE(testing::Message() << "n " << n << " k " << k);
            std::uint64_t next = 0;
            std::uint64_t previous_length = n;
            for (std::uint64_t i = 0; i < k; ++i) {
                IndexRange r = indexed_chunk_bounds(n, k, i);
                EXPECT_EQ(r.start, next);
                std::uint64_t length = r.end - r.start;
                EXPECT_TRUE(length == n / k || length == n / k + 1);
                EXPECT_LE(length, previous_length);
                previous_length = length;
                next = r.end;
            }
            EXPECT_EQ(next, n);
        }
    }
    IndexRange last = indexed_chunk_bounds(std::numeric_limits<std::uint64_t>::max(), 3, 2);
    EXPECT_EQ(last.end, std::numeric_limits<std::uint64_t>::max());
}

TEST(IndexedChunkBoundsTest, ZeroParticipantsIsAnInternalError) {
    EXPECT_THROW(indexed_chunk_bounds(10, 0, 0), kavrel::domain::error::InternalError);
}

TEST(IndexedRegionGuardTest, RaisesTheDepthAndPutsThePreviousValueBack) {
    ASSERT_FALSE(indexed_region_depth.has_value());
    {
        auto outer = IndexedRegionGuard::enter();
        EXPECT_FALSE(outer.previous().has_value());
        EXPECT_EQ(indexed_region_depth, 1u);
        {
            auto inner = IndexedRegionGuard::enter();
            EXPECT_EQ(inner.previous(), 1u);
            EXPECT_EQ(indexed_region_depth, 2u);
        }
        EXPECT_EQ(indexed_region_depth, 1u);
    }
    EXPECT_FALSE(indexed_region_depth.has_value());
}

TEST(IndexedRegionGuardTest, DepthPastTheLargestValueIsAnInternalError) {
    indexed_region_depth = std::numeric_limits<std::uint64_t>::max();
    try {
        auto guard = IndexedRegionGuard::enter();
        ADD_FAILURE() << "no error";
    } catch (const kavrel::domain::error::InternalError& error) {
        EXPECT_STREQ(error.what(), "invariant: indexed-region nesting depth fits usize");
    }
    EXPECT_EQ(indexed_region_depth, std::numeric_limits<std::uint64_t>::max());
    indexed_region_depth.reset();
}

}  // namespace
