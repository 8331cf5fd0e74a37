#include "ostrel_arena/segment/alloc.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "garvon/query/cache.hpp"
#include "ostrel_arena/arena.hpp"
#include "ostrel_arena/segment/pool.hpp"
#include "ostrel_backend/backends/unix.hpp"
#include "ostrel_backend/recorders/stats.hpp"
#include "ostrel_core/options.hpp"
#include "support/mapping.hpp"

namespace {

namespace alloc = ostrel_arena::segment::alloc;
namespace pool = ostrel_arena::segment::pool;
namespace page = ostrel_core::types::page;
using ostrel_arena_test::is_mapped;
using ostrel_arena_test::retained_count;
using page::SegmentHeader;

constexpr std::uintptr_t MiB = 1u << 20;

TEST(OstrelSegmentTest, FreshSegmentIsAlignedInsideItsReservationWithAFreshHeader) {
    std::uint64_t decommitted = ostrel_backend::recorders::stats::DECOMMIT_BYTES.load();
    SegmentHeader* segment = alloc::map_fresh_segment();
    ASSERT_NE(segment, nullptr);
    auto address = reinterpret_cast<std::uintptr_t>(segment);
    std::uintptr_t raw = segment->shared.raw_mapping;
    EXPECT_EQ(address % (2 * MiB), 0u);
    EXPECT_LE(raw, address);
    EXPECT_LE(address + 2 * MiB, raw + 4 * MiB);
    EXPECT_EQ(segment->shared.node, garvon::query::cache::cached_node());
    EXPECT_EQ(page::owner_of(*segment), page::no_owner);
    EXPECT_EQ(segment->local.occupancy | segment->local.queued | segment->local.current, 0u);
    for (std::uint32_t i = 0; i < page::PAGES_PER_SEGMENT; ++i) EXPECT_EQ(segment->pages[i].local.page_index, i);
    // Both slack ranges together are 2 MiB, whatever the placement.
    EXPECT_EQ(ostrel_backend::recorders::stats::DECOMMIT_BYTES.load() - decommitted, 2 * MiB);
    std::memset(reinterpret_cast<void*>(address + page::PAGE_BYTES), 7, 2 * MiB - page::PAGE_BYTES);
    EXPECT_TRUE(alloc::unmap_segment(*segment));
    EXPECT_FALSE(is_mapped(raw));
}

// A 4 MiB reservation at a chosen offset from a 2 MiB boundary, inside a larger mapping.
struct PlacedReservation {
    explicit PlacedReservation(std::uintptr_t offset) {
        void* big = ostrel_backend::backends::unix::detail::map_anonymous(8 * MiB);
        base = reinterpret_cast<std::uintptr_t>(big);
        raw = ((base + 2 * MiB - 1) & ~(2 * MiB - 1)) + offset;
    }
    ~PlacedReservation() { munmap(reinterpret_cast<void*>(base), 8 * MiB); }
    std::uintptr_t base;
    std::uintptr_t raw;
};

TEST(OstrelSegmentTest, PlacementAndSlackFollowTheReservation) {
    struct Row {
        std::uintptr_t offset;
        std::uintptr_t segment_offset;  // from raw
        std::uintptr_t before, after;   // slack lengths
    };
    const Row rows[] = {{0, 0, 0, 2 * MiB}, {64 * 1024, 2 * MiB - 64 * 1024, 2 * MiB - 64 * 1024, 64 * 1024},
                        {MiB, MiB, MiB, MiB}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.offset);
        PlacedReservation reservation(row.offset);
        auto placed = alloc::initialize_allocated_segment(reservation.raw, 5);
        ASSERT_TRUE(placed.has_value());
        auto segment = reinterpret_cast<std::uintptr_t>(placed->segment);
        EXPECT_EQ(segment, reservation.raw + row.segment_offset);
        EXPECT_EQ(placed->segment_end, segment + 2 * MiB);
        EXPECT_EQ(placed->reservation_end, reservation.raw + 4 * MiB);
        EXPECT_EQ(placed->segment->shared.raw_mapping, reservation.raw);
        EXPECT_EQ(placed->segment->shared.node, 5u);
        alloc::detail::Slack slack = alloc::detail::slack_of(reservation.raw, *placed);
        EXPECT_EQ(slack.before_end - slack.before_start, row.before);
        EXPECT_EQ(slack.after_end - slack.after_start, row.after);
        EXPECT_EQ(alloc::detail::decommit_slack(slack), 2 * MiB) << "only non-empty slack is decommitted";
    }
}

TEST(OstrelSegmentTest, PlacementFailsWhereTheAddressSpaceEnds) {
    constexpr std::uintptr_t top = std::numeric_limits<std::uintptr_t>::max();
    for (std::uintptr_t raw : {top - MiB + 1, top - 2 * MiB + 1, top - 4 * MiB + 1, top - 4 * MiB + 2}) {
        SCOPED_TRACE(raw);
        EXPECT_FALSE(alloc::initialize_allocated_segment(raw, 0).has_value());
    }
}

TEST(OstrelSegmentTest, ReleasedSegmentIsRetainedAndComesBackWithAFreshHeader) {
    ostrel_arena_test::drain_pools();
    SegmentHeader* segment = alloc::map_fresh_segment();
    ASSERT_NE(segment, nullptr);
    std::uintptr_t raw = segment->shared.raw_mapping;
    std::uint32_t node = segment->shared.node;
    segment->pages[3].local.block_size = 64;
    segment->pages[3].local.bump = 9;
    segment->local.occupancy = 0x8;
    segment->local.current = 1;
    alloc::deallocate_segment(*segment);
    EXPECT_EQ(retained_count(node), 1u);
    EXPECT_EQ(alloc::pop_free_segment(), segment);
    EXPECT_EQ(retained_count(node), 0u);
    EXPECT_EQ(segment->shared.raw_mapping, raw);
    EXPECT_EQ(segment->shared.node, node);
    EXPECT_EQ(segment->pages[3].local.block_size, 0u);
    EXPECT_EQ(segment->pages[3].local.bump, 0u);
    EXPECT_EQ(segment->pages[3].local.page_index, 3u);
    EXPECT_EQ(segment->local.occupancy | segment->local.current, 0u);
    EXPECT_EQ(alloc::pop_free_segment(), nullptr);
    EXPECT_TRUE(alloc::unmap_segment(*segment));
}

TEST(OstrelSegmentTest, FullRetainedPoolUnmapsUnlessTheUnmapFails) {
    ostrel_arena_test::drain_pools();
    auto& limit = ostrel_core::options::MAX_RETAINED_SEGMENTS;
    limit.store(1);
    SegmentHeader* kept = alloc::map_fresh_segment();
    SegmentHeader* dropped = alloc::map_fresh_segment();
    ASSERT_TRUE(kept && dropped);
    std::uintptr_t dropped_raw = dropped->shared.raw_mapping;
    std::uintptr_t kept_raw = kept->shared.raw_mapping;
    std::uint32_t node = kept->shared.node;
    alloc::deallocate_segment(*kept);
    alloc::deallocate_segment(*dropped);
    EXPECT_EQ(retained_count(node), 1u);
    EXPECT_FALSE(is_mapped(dropped_raw));

    // A header whose reservation cannot be unmapped stays in the pool.
    limit.store(0);
    auto fake = std::make_unique<SegmentHeader>();
    page::reset_header(*fake, 0, node);
    alloc::deallocate_segment(*fake);
    EXPECT_EQ(retained_count(node), 2u);
    EXPECT_EQ(alloc::pop_free_segment(), fake.get());
    limit.store(ostrel_core::options::RETAINED_SEGMENTS_CEILING);
    ostrel_arena_test::drain_pools();
    EXPECT_FALSE(is_mapped(kept_raw));
}

TEST(OstrelSegmentTest, PurgeKeepsASegmentThatCannotBeUnmappedAndAllAfterIt) {
    ostrel_arena_test::drain_pools();
    SegmentHeader* first = alloc::map_fresh_segment();
    SegmentHeader* last = alloc::map_fresh_segment();
    ASSERT_TRUE(first && last);
    auto stuck = std::make_unique<SegmentHeader>();
    page::reset_header(*stuck, 0, first->shared.node);
    auto& retained = pool::WRAPPER_BACKEND_POOLS.retained[first->shared.node % 16].guarded;
    pool::push(retained, last);
    pool::push(retained, stuck.get());
    pool::push(retained, first);
    std::uintptr_t first_raw = first->shared.raw_mapping;
    pool::purge_retained_segments();
    EXPECT_FALSE(is_mapped(first_raw));
    EXPECT_EQ(retained.stack.count.load(), 2u);
    EXPECT_TRUE(is_mapped(last->shared.raw_mapping));
    // Pushed back one by one, so the later one ends up on top.
    EXPECT_EQ(pool::pop(retained), last);
    EXPECT_EQ(pool::pop(retained), stuck.get());
    EXPECT_TRUE(alloc::unmap_segment(*last));
}

// Refuses the first `refusals` 4 MiB mappings, then maps normally. Before each mapping it
// notes whether the watched addresses were still mapped (a new mapping may reuse them).
int refusals = 0;
std::vector<std::uintptr_t> watched;
std::vector<bool> mapped_at_retry;
void* refusing_reservations(std::size_t length) {
    if (length == page::RESERVATION_BYTES && refusals > 0) {
        --refusals;
        return nullptr;
    }
    mapped_at_retry.clear();
    for (std::uintptr_t address : watched) mapped_at_retry.push_back(is_mapped(address));
    return ostrel_backend::backends::unix::detail::map_anonymous(length);
}

TEST(OstrelSegmentTest, FailedMappingPurgesThePoolsAndRetriesOnce) {
    ostrel_arena_test::drain_pools();
    SegmentHeader* retained = alloc::map_fresh_segment();
    ASSERT_NE(retained, nullptr);
    std::uintptr_t retained_raw = retained->shared.raw_mapping;
    alloc::deallocate_segment(*retained);
    void* large = ostrel_arena::arena::allocate_large_or_huge(3 * MiB, 64);
    ASSERT_NE(large, nullptr);
    auto* large_header = reinterpret_cast<SegmentHeader*>(*(reinterpret_cast<std::uintptr_t*>(large) - 1));
    std::uintptr_t large_raw = large_header->shared.raw_mapping;
    pool::GlobalHugePool& large_pool = pool::WRAPPER_BACKEND_POOLS.huge[large_header->shared.node % 16];
    ostrel_arena::arena::deallocate_large_or_huge(large);
    ASSERT_EQ(large_pool.total_blocks.load(), 1u);

    ostrel_backend::backends::unix::detail::set_map_hook(&refusing_reservations);
    refusals = 1;
    watched = {retained_raw, large_raw};
    SegmentHeader* fresh = alloc::map_fresh_segment();
    ASSERT_NE(fresh, nullptr) << "the retry after the purge maps";
    EXPECT_EQ(mapped_at_retry, (std::vector<bool>{false, false})) << "both were unmapped before the retry";
    EXPECT_EQ(retained_count(fresh->shared.node), 0u);
    EXPECT_EQ(large_pool.total_blocks.load(), 0u);

    refusals = 2;
    EXPECT_EQ(alloc::map_fresh_segment(), nullptr) << "a second failure is reported";
    EXPECT_EQ(refusals, 0);
    ostrel_backend::backends::unix::detail::set_map_hook(nullptr);
    EXPECT_TRUE(alloc::unmap_segment(*fresh));
}

}  // namespace
