// The thread allocator under concurrency: more threads than cores allocate, hand blocks to
// each other, free them across threads, exit with live blocks that others free and adopt,
// and race the decay thread, the idle sweep and the leak recorder; under steady cross-thread
// freeing the memory they hold stays bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

#include "ostrel_testing/deadline.hpp"
#include "ostrel_arena/segment/pool.hpp"
#include "ostrel_core/options.hpp"
#include "ostrel_decay/engine.hpp"
#include "ostrel_decay/step.hpp"
#include "ostrel_local/alloc.hpp"
#include "ostrel_local/free.hpp"
#include "ostrel_local/tls_slot.hpp"
#include "ostrel_prof/control.hpp"
#include "ostrel_prof/sampler/store.hpp"

namespace {

using ostrel_local::alloc::thread_alloc;
using ostrel_local::free::thread_free;
namespace pool = ostrel_arena::segment::pool;
namespace page = ostrel_core::types::page;

constexpr unsigned threads = 6;

// A block that carries its own size, alignment and fill byte, so that whoever frees it can
// check that nobody else wrote into it.
struct Block {
    unsigned char* data;
    std::size_t size;
    std::size_t alignment;
    unsigned char fill;
};

std::uint64_t next_random(std::uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

Block make_block(std::uint64_t& random, unsigned char fill, bool allow_large = true) {
    std::uint64_t r = next_random(random);
    static constexpr std::size_t alignments[] = {8, 16, 64, 8, 16, 4096};
    std::size_t alignment = alignments[r % 6];
    std::size_t size;
    if (allow_large && r % 97 == 0) {
        size = 20000 + (r >> 8) % 300000;
    } else if (r % 5 == 0) {
        size = 1 + (r >> 8) % 16384;
    } else {
        size = 1 + (r >> 8) % 512;
    }
    auto* data = static_cast<unsigned char*>(thread_alloc(size, alignment));
    if (data) std::memset(data, fill, std::min<std::size_t>(size, 1024));
    if (data && size > 1024) std::memset(data + size - 64, fill, 64);
    return Block{data, size, alignment, fill};
}

bool intact(const Block& block) {
    if (block.data == nullptr || reinterpret_cast<std::uintptr_t>(block.data) % block.alignment != 0) return false;
    std::size_t head = std::min<std::size_t>(block.size, 1024);
    for (std::size_t i = 0; i < head; ++i) {
        if (block.data[i] != block.fill) return false;
    }
    if (block.size > 1024) {
        for (std::size_t i = block.size - 64; i < block.size; ++i) {
            if (block.data[i] != block.fill) return false;
        }
    }
    return true;
}

void release(const Block& block) { thread_free(block.data, block.size, block.alignment); }

struct Mailbox {
    std::mutex mutex;
    std::deque<Block> blocks;

    void post(const Block& block) {
        std::lock_guard<std::mutex> guard(mutex);
        blocks.push_back(block);
    }
    std::vector<Block> take_all() {
        std::lock_guard<std::mutex> guard(mutex);
        std::vector<Block> out(blocks.begin(), blocks.end());
        blocks.clear();
        return out;
    }
};

// Every thread allocates, keeps some blocks, posts others to other threads and frees what
// it receives; returns the number of damaged blocks seen.
unsigned exchange_blocks(unsigned rounds, bool allow_large) {
    std::vector<Mailbox> mailboxes(threads);
    std::atomic<unsigned> damaged{0};
    ostrel_testing::run_threads(threads, [&](unsigned me) {
        std::uint64_t random = 0x9E3779B97F4A7C15ull * (me + 1);
        std::vector<Block> mine;
        for (unsigned r = 0; r < rounds; ++r) {
            Block block = make_block(random, static_cast<unsigned char>(me * 37 + r), allow_large);
            if (block.data == nullptr) {
                damaged.fetch_add(1);
                continue;
            }
            if (r % 3 == 0) {
                mailboxes[(me + 1 + r % (threads - 1)) % threads].post(block);
            } else {
                mine.push_back(block);
            }
            if (!mine.empty() && (mine.size() > 64 || r % 7 == 0)) {
                std::size_t victim = next_random(random) % mine.size();
                if (!intact(mine[victim])) damaged.fetch_add(1);
                release(mine[victim]);
                mine[victim] = mine.back();
                mine.pop_back();
            }
            if (r % 16 == 0) {
                for (const Block& received : mailboxes[me].take_all()) {
                    if (!intact(received)) damaged.fetch_add(1);
                    release(received);
                }
            }
        }
        for (const Block& block : mine) {
            if (!intact(block)) damaged.fetch_add(1);
            release(block);
        }
    });
    for (Mailbox& box : mailboxes) {
        for (const Block& block : box.take_all()) {
            if (!intact(block)) damaged.fetch_add(1);
            release(block);
        }
    }
    return damaged.load();
}

std::uint64_t abandoned_total() {
    std::uint64_t total = 0;
    for (auto& p : pool::WRAPPER_BACKEND_POOLS.abandoned) total += p.guarded.stack.count.load();
    return total;
}

// Producers allocate and exit with their blocks alive; then freers free those blocks from
// other threads while new threads allocate, adopting the abandoned segments.
unsigned exit_and_adopt(unsigned generations) {
    std::atomic<unsigned> damaged{0};
    for (unsigned g = 0; g < generations; ++g) {
        std::vector<Block> produced;
        std::mutex produced_lock;
        ostrel_testing::run_threads(4, [&](unsigned me) {
            std::uint64_t random = 0xD1B54A32D192ED03ull * (g * 8 + me + 1);
            std::vector<Block> mine;
            for (int i = 0; i < 300; ++i) mine.push_back(make_block(random, static_cast<unsigned char>(g * 16 + me), false));
            std::lock_guard<std::mutex> guard(produced_lock);
            produced.insert(produced.end(), mine.begin(), mine.end());
        }, "the producers");
        std::atomic<std::size_t> next{0};
        ostrel_testing::run_threads(6, [&](unsigned me) {
            if (me < 3) {
                for (std::size_t i = next.fetch_add(1); i < produced.size(); i = next.fetch_add(1)) {
                    if (!intact(produced[i])) damaged.fetch_add(1);
                    release(produced[i]);
                }
                return;
            }
            std::uint64_t random = 0xA0761D6478BD642Full * (g * 8 + me + 1);
            std::vector<Block> mine;
            for (int i = 0; i < 400; ++i) {
                mine.push_back(make_block(random, static_cast<unsigned char>(200 + me), false));
                if (i % 3 == 0) {
                    if (!intact(mine.front())) damaged.fetch_add(1);
                    release(mine.front());
                    mine.erase(mine.begin());
                }
            }
            for (const Block& block : mine) {
                if (!intact(block)) damaged.fetch_add(1);
                release(block);
            }
        }, "the freers and adopters");
    }
    return damaged.load();
}

// What the heaps hold during steady_exchange, each thread adding its own share.
struct HeldMemory {
    std::atomic<std::uint64_t> early_segments{0};  // owned after the first quarter of the rounds
    std::atomic<std::uint64_t> late_segments{0};   // owned after the last round
    std::atomic<std::uint64_t> stranded_bytes{0};  // the most seen at the end of any round
};

// Bytes of free blocks on the local lists of the calling thread's full-list pages: capacity
// that no allocation reaches, since the refill looks into full pages only for remote frees.
std::uint64_t stranded_bytes() {
    const auto* allocator = ostrel_local::tls_slot::CACHED_SLOT_PTR;
    std::uint64_t bytes = 0;
    for (const page::Page* head : allocator->full) {
        for (const page::Page* p = head; p; p = p->local.queue_next) {
            for (std::uintptr_t b : {p->local.free_a, p->local.free_b}) {
                for (; b != page::end_of_list; b = *reinterpret_cast<const std::uintptr_t*>(b)) {
                    bytes += p->local.block_size;
                }
            }
        }
    }
    return bytes;
}

// Steady cross-thread freeing: every thread keeps a window of live blocks; each step replaces
// a random one, and the block it replaces is freed by its own thread two times in three and
// by the next thread otherwise. The threads go in lockstep, a round of steps at a time, and
// free what they were sent at the end of each round, so the live set stays the same size.
void steady_exchange(unsigned count, unsigned rounds, HeldMemory& held) {
    constexpr std::size_t window = 512;
    constexpr unsigned steps_per_round = 256;
    std::vector<Mailbox> mailboxes(count);
    std::barrier round_end(count);
    ostrel_testing::run_threads(count, [&](unsigned me) {
        std::uint64_t random = 0xC2B2AE3D27D4EB4Full * (me + 1);
        std::vector<Block> live(window);
        std::uint64_t most_stranded = 0;
        for (unsigned round = 0; round < rounds; ++round) {
            for (unsigned step = 0; step < steps_per_round; ++step) {
                Block& slot = live[next_random(random) % window];
                if (slot.data) {
                    if (next_random(random) % 3 == 0) {
                        mailboxes[(me + 1) % count].post(slot);
                    } else {
                        release(slot);
                    }
                }
                slot = make_block(random, static_cast<unsigned char>(me), false);
            }
            round_end.arrive_and_wait();
            for (const Block& received : mailboxes[me].take_all()) release(received);
            round_end.arrive_and_wait();
            most_stranded = std::max(most_stranded, stranded_bytes());
            const std::uint64_t segments = ostrel_local::tls_slot::CACHED_SLOT_PTR->owned_count;
            if (round + 1 == rounds / 4) held.early_segments.fetch_add(segments);
            if (round + 1 == rounds) held.late_segments.fetch_add(segments);
        }
        held.stranded_bytes.fetch_add(most_stranded);
        for (const Block& block : live) release(block);
    });
}

// A sweep that takes remote frees back into full pages must hand those pages back to the
// available lists; then the heaps stop growing once the live set is in place, at most one
// segment per thread above what the first quarter needed or what the sweep keeps anyway.
TEST(OstrelThreadAllocStressTest, MemoryInUseStaysBoundedUnderSteadyCrossThreadFreeing) {
    constexpr unsigned count = 16;
    HeldMemory held;
    steady_exchange(count, 320, held);
    EXPECT_EQ(held.stranded_bytes.load(), 0u) << "free blocks sat on full-list pages";
    const std::uint64_t floor = count * (ostrel_local::local_alloc::segments_kept_by_sweep + 1);
    EXPECT_LE(held.late_segments.load(), std::max<std::uint64_t>(held.early_segments.load(), floor) + count);
}

TEST(OstrelThreadAllocStressTest, BlocksMoveBetweenThreadsIntact) {
    EXPECT_EQ(exchange_blocks(12000, true), 0u);
}

TEST(OstrelThreadAllocStressTest, ExitedThreadsBlocksAreFreedAndTheirSegmentsAdopted) {
    EXPECT_EQ(exit_and_adopt(10), 0u);
    // Every block has been freed and every thread has exited: re-checking the abandoned
    // pools finds them all empty.
    ostrel_decay::step::decay_step();
    EXPECT_EQ(abandoned_total(), 0u);
}

TEST(OstrelThreadAllocStressTest, DecayThreadRunsAlongside) {
    ostrel_core::options::PURGE_CADENCE_MS.store(1);
    ostrel_decay::engine::init_decay_engine();
    EXPECT_EQ(exchange_blocks(6000, true), 0u);
    EXPECT_EQ(exit_and_adopt(6), 0u);
    ostrel_testing::wait_until([] { return abandoned_total() == 0; }, "the decay thread emptying the abandoned pools");
}

TEST(OstrelThreadAllocStressTest, LeakRecorderForgetsEveryFreedBlock) {
    ostrel_prof::control::enable_leak_detector();
    EXPECT_EQ(exchange_blocks(3000, true), 0u);
    EXPECT_EQ(ostrel_prof::sampler::store::sample_count(), 0u);
}

TEST(OstrelThreadAllocStressTest, IdleSweepRacesRemoteFrees) {
    constexpr int count = 12000;
    std::vector<Block> blocks(count);
    std::atomic<int> published{0};
    std::atomic<int> freed{0};
    std::atomic<unsigned> damaged{0};
    std::atomic<std::uint64_t> owner_used{0};
    ostrel_testing::run_threads(5, [&](unsigned me) {
        if (me == 0) {
            std::uint64_t random = 42;
            for (int i = 0; i < count; ++i) {
                blocks[i] = make_block(random, static_cast<unsigned char>(i), false);
                published.store(i + 1, std::memory_order_release);
                if (i % 100 == 0) {
                    auto* allocator = ostrel_local::tls_slot::CACHED_SLOT_PTR;
                    ostrel_local::local_alloc::BusyScope busy(*allocator);
                    ostrel_local::local_alloc::run_idle_memory_maintenance(*allocator);
                }
            }
            ostrel_testing::wait_until([&] { return freed.load() == count; }, "the remote frees");
            auto* allocator = ostrel_local::tls_slot::CACHED_SLOT_PTR;
            {
                ostrel_local::local_alloc::BusyScope busy(*allocator);
                ostrel_local::local_alloc::run_idle_memory_maintenance(*allocator);
            }
            // Remote frees of the current segment are taken back by a refill, not a sweep.
            std::uint64_t used = 0;
            for (page::SegmentHeader* s = allocator->owned_head; s; s = s->local.owned_next) {
                if (s == allocator->current) continue;
                for (std::uint32_t i = 1; i < page::PAGES_PER_SEGMENT; ++i) used += s->pages[i].local.used;
            }
            owner_used.store(used);
            return;
        }
        // Freers take every fourth block, starting at their own offset.
        for (int i = static_cast<int>(me) - 1; i < count; i += 4) {
            while (published.load(std::memory_order_acquire) <= i) std::this_thread::yield();
            if (!intact(blocks[i])) damaged.fetch_add(1);
            release(blocks[i]);
            freed.fetch_add(1);
        }
    });
    EXPECT_EQ(damaged.load(), 0u);
    EXPECT_EQ(owner_used.load(), 0u);
}

}  // namespace
