#include "ostrel_core/types/page.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

namespace page = ostrel_core::types::page;
using page::LocalList;
using page::Page;
using page::SegmentHeader;

static_assert(alignof(page::PageLocal) == 64 && alignof(page::PageShared) == 64,
              "owner-only and shared page fields live on separate cache lines");
static_assert(offsetof(Page, shared) % 64 == 0 && offsetof(Page, shared) >= sizeof(page::PageLocal));
static_assert(offsetof(SegmentHeader, shared) % 64 == 0 && offsetof(SegmentHeader, local) % 64 == 0);
static_assert(sizeof(SegmentHeader) <= page::PAGE_BYTES);

// A 2 MiB-aligned, segment-sized area from the general heap with a fresh header.
struct FakeSegment {
    FakeSegment() {
        memory = std::aligned_alloc(page::SEGMENT_BYTES, page::SEGMENT_BYTES);
        page::reset_header(header(), 0x1234000, 3);
    }
    ~FakeSegment() { std::free(memory); }
    FakeSegment(const FakeSegment&) = delete;
    FakeSegment& operator=(const FakeSegment&) = delete;

    SegmentHeader& header() { return *static_cast<SegmentHeader*>(memory); }
    Page& record(std::uint32_t i) { return header().pages[i]; }
    std::uintptr_t block(std::uint32_t i, std::uint32_t k) {
        return page::page_start(header(), i) + std::uintptr_t{k} * record(i).local.block_size;
    }
    // Sets page i up for blocks of `size` with `used` blocks handed out.
    void set_up(std::uint32_t i, std::uint32_t size, std::uint32_t used) {
        record(i).local.block_size = size;
        record(i).local.used = used;
        record(i).local.bump = used;
        if (used) page::mark_occupied(header(), i);
    }
    // What another thread's free does: link the block to the chain and count it.
    void push_remote(std::uint32_t i, std::uintptr_t block_address) {
        std::uint64_t word = record(i).shared.thread_free;
        *reinterpret_cast<std::uintptr_t*>(block_address) = page::thread_free_head(word);
        record(i).shared.thread_free = page::pack_thread_free(block_address, page::thread_free_count(word) + 1);
    }
    std::vector<std::uintptr_t> list(std::uintptr_t head) {
        std::vector<std::uintptr_t> out;
        for (std::uintptr_t b = head; b != page::end_of_list; b = *reinterpret_cast<std::uintptr_t*>(b)) out.push_back(b);
        return out;
    }

    void* memory;
};

TEST(OstrelPageTest, AddressLeadsToSegmentAndPage) {
    struct Row {
        std::uintptr_t address;
        std::uintptr_t segment;
        std::uint32_t page;
    };
    const Row rows[] = {
        {0x40000000, 0x40000000, 0},       {0x4000FFFF, 0x40000000, 0},  {0x40010000, 0x40000000, 1},
        {0x401F0010, 0x40000000, 31},      {0x401FFFFF, 0x40000000, 31}, {0x40200000, 0x40200000, 0},
        {0x7FFF'FFF3'0040, 0x7FFF'FFE0'0000, 19},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.address);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(page::segment_of(row.address)), row.segment);
        EXPECT_EQ(page::page_index_of(row.address), row.page);
    }
}

TEST(OstrelPageTest, ResetHeaderZeroesAllButIndicesRawAndNode) {
    FakeSegment fake;
    std::memset(fake.memory, 0xAB, sizeof(SegmentHeader));
    page::reset_header(fake.header(), 0x7000000, 9);
    SegmentHeader& h = fake.header();
    EXPECT_EQ(h.shared.raw_mapping, 0x7000000u);
    EXPECT_EQ(h.shared.node, 9u);
    EXPECT_EQ(h.shared.owner, page::no_owner);
    EXPECT_EQ(h.shared.pool_link, 0u);
    EXPECT_EQ(h.shared.large_length, 0u);
    EXPECT_EQ(h.local.owned_next, nullptr);
    EXPECT_EQ(h.local.owned_prev, nullptr);
    EXPECT_EQ(h.local.occupancy, 0u);
    EXPECT_EQ(h.local.queued, 0u);
    EXPECT_EQ(h.local.current, 0u);
    for (std::uint32_t i = 0; i < page::PAGES_PER_SEGMENT; ++i) {
        SCOPED_TRACE(i);
        const page::PageLocal& p = h.pages[i].local;
        EXPECT_EQ(p.page_index, i);
        EXPECT_EQ(p.free_a | p.free_b | p.block_size | p.used | p.bump | p.size_class, 0u);
        EXPECT_EQ(p.queue_next, nullptr);
        EXPECT_EQ(p.queue_kind, page::QueueKind::none);
        EXPECT_EQ(h.pages[i].shared.thread_free, 0u);
        EXPECT_EQ(page::page_start_of(h.pages[i]), page::page_start(h, i));
    }
}

TEST(OstrelPageTest, ListChoiceFollowsUsedParity) {
    struct Row {
        bool a, b;
        std::uint32_t used;
        LocalList expected;
    };
    const Row rows[] = {
        {false, false, 0, LocalList::a}, {false, false, 7, LocalList::a}, {true, false, 3, LocalList::a},
        {false, true, 2, LocalList::b},  {true, true, 4, LocalList::a},   {true, true, 5, LocalList::b},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.a << row.b << row.used);
        page::PageLocal p{};
        p.free_a = row.a ? 0x10 : 0;
        p.free_b = row.b ? 0x20 : 0;
        EXPECT_EQ(page::choose_list(p, row.used), row.expected);
    }
}

TEST(OstrelPageTest, ResetPageClearsCountsAndOccupancyUnlessCurrent) {
    for (bool current : {false, true}) {
        SCOPED_TRACE(current);
        FakeSegment fake;
        fake.set_up(4, 64, 9);
        fake.record(4).local.free_a = fake.block(4, 1);
        fake.record(4).local.free_b = fake.block(4, 2);
        fake.header().local.current = current;
        Page::initialize_free_list_in_segment_dynamic(fake.header(), 4);
        const page::PageLocal& p = fake.record(4).local;
        EXPECT_EQ(p.used, 0u);
        EXPECT_EQ(p.bump, 0u);
        EXPECT_EQ(p.free_a, page::end_of_list);
        EXPECT_EQ(p.free_b, page::end_of_list);
        EXPECT_EQ(p.block_size, 64u) << "the caller's block size stays";
        EXPECT_EQ((fake.header().local.occupancy >> 4) & 1u, current ? 1u : 0u);
    }
}

TEST(OstrelPageTest, ReclaimOfEmptyWordChangesNothing) {
    FakeSegment fake;
    fake.set_up(2, 32, 5);
    EXPECT_EQ(Page::reclaim_thread_free_in_segment(fake.header(), 2), 0u);
    EXPECT_EQ(fake.record(2).local.used, 5u);
    EXPECT_EQ(fake.record(2).local.free_a, page::end_of_list);
    EXPECT_EQ(fake.header().local.occupancy, 1u << 2);
}

TEST(OstrelPageTest, ReclaimedChainBecomesListAWhenBothListsAreEmpty) {
    FakeSegment fake;
    fake.set_up(3, 48, 6);
    fake.push_remote(3, fake.block(3, 0));
    fake.push_remote(3, fake.block(3, 4));
    fake.push_remote(3, fake.block(3, 2));
    EXPECT_EQ(Page::reclaim_thread_free_in_segment(fake.header(), 3), 3u);
    EXPECT_EQ(fake.record(3).local.used, 3u);
    EXPECT_EQ(fake.record(3).shared.thread_free, 0u);
    EXPECT_EQ(fake.list(fake.record(3).local.free_a),
              (std::vector<std::uintptr_t>{fake.block(3, 2), fake.block(3, 4), fake.block(3, 0)}));
    EXPECT_EQ(fake.record(3).local.free_b, page::end_of_list);
}

TEST(OstrelPageTest, ReclaimSplicesInFrontOfTheChosenList) {
    // Used after the reclaim decides: even -> A, odd -> B.
    for (std::uint32_t used_after : {2u, 3u}) {
        SCOPED_TRACE(used_after);
        FakeSegment fake;
        fake.set_up(5, 16, used_after + 1);
        std::uintptr_t a = fake.block(5, 10), b = fake.block(5, 11), remote = fake.block(5, 12);
        *reinterpret_cast<std::uintptr_t*>(a) = 0;
        *reinterpret_cast<std::uintptr_t*>(b) = 0;
        fake.record(5).local.free_a = a;
        fake.record(5).local.free_b = b;
        fake.push_remote(5, remote);
        EXPECT_EQ(Page::reclaim_thread_free_in_segment(fake.header(), 5), 1u);
        using Blocks = std::vector<std::uintptr_t>;
        bool to_b = used_after % 2 == 1;
        Blocks expected_a = to_b ? Blocks{a} : Blocks{remote, a};
        Blocks expected_b = to_b ? Blocks{remote, b} : Blocks{b};
        EXPECT_EQ(fake.list(fake.record(5).local.free_a), expected_a);
        EXPECT_EQ(fake.list(fake.record(5).local.free_b), expected_b);
    }
}

TEST(OstrelPageTest, ReclaimOfEveryUsedBlockClearsOccupancyOnlyOffTheCurrentSegment) {
    for (bool current : {false, true}) {
        SCOPED_TRACE(current);
        FakeSegment fake;
        fake.header().local.current = current;
        fake.set_up(7, 128, 2);
        fake.set_up(8, 128, 1);
        fake.push_remote(7, fake.block(7, 0));
        fake.push_remote(7, fake.block(7, 1));
        EXPECT_EQ(Page::reclaim_thread_free_in_segment(fake.header(), 7), 2u);
        EXPECT_EQ(fake.record(7).local.used, 0u);
        EXPECT_EQ((fake.header().local.occupancy >> 7) & 1u, current ? 1u : 0u);
        EXPECT_EQ((fake.header().local.occupancy >> 8) & 1u, 1u) << "other pages keep their bits";
    }
}

TEST(OstrelPageTest, ClearIdleOccupancyKeepsPagesWithUsedBlocks) {
    FakeSegment fake;
    fake.header().local.current = 1;
    fake.set_up(1, 16, 1);
    fake.set_up(2, 16, 1);
    fake.record(2).local.used = 0;  // emptied while current: the bit stayed
    fake.header().local.occupancy |= 1u;  // page 0 is never touched
    page::clear_idle_occupancy(fake.header());
    EXPECT_EQ(fake.header().local.occupancy, (1u << 1) | 1u);
}

// Corrupt words and chains end the process.
TEST(OstrelPageDeathTest, CorruptThreadFreeStateAborts) {
    struct Row {
        const char* name;
        void (*corrupt)(FakeSegment&);
    };
    const Row rows[] = {
        {"count without head", [](FakeSegment& f) { f.record(1).shared.thread_free = page::pack_thread_free(0, 2); }},
        {"head with count 0",
         [](FakeSegment& f) { f.record(1).shared.thread_free = page::pack_thread_free(f.block(1, 0), 0); }},
        {"used below count",
         [](FakeSegment& f) {
             f.record(1).local.used = 1;
             f.push_remote(1, f.block(1, 0));
             f.push_remote(1, f.block(1, 1));
         }},
        {"misaligned block",
         [](FakeSegment& f) {
             f.push_remote(1, f.block(1, 0));
             std::uintptr_t odd = f.block(1, 3) + 8;
             *reinterpret_cast<std::uintptr_t*>(odd) = f.block(1, 0);
             f.record(1).shared.thread_free = page::pack_thread_free(odd, 2);
         }},
        {"block passing the page end", [](FakeSegment& f) { f.push_remote(1, page::page_start(f.header(), 2) - 32); }},
        {"block in another page", [](FakeSegment& f) { f.push_remote(1, f.block(2, 0)); }},
        {"chain longer than its count",
         [](FakeSegment& f) {
             f.push_remote(1, f.block(1, 0));
             f.push_remote(1, f.block(1, 1));
             f.record(1).shared.thread_free = page::pack_thread_free(f.block(1, 1), 1);
         }},
        {"chain shorter than its count",
         [](FakeSegment& f) {
             f.push_remote(1, f.block(1, 0));
             f.record(1).shared.thread_free = page::pack_thread_free(f.block(1, 0), 2);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EXIT(
            {
                FakeSegment fake;
                fake.set_up(1, 64, 8);
                fake.set_up(2, 64, 8);
                row.corrupt(fake);
                Page::reclaim_thread_free_in_segment(fake.header(), 1);
            },
            testing::KilledBySignal(SIGABRT),
            "");
    }
}

}  // namespace
