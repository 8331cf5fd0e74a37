// Allocation statistics per size class: process-wide counters of allocations, frees and
// requested bytes, and the per-thread batching that adds counts to them 64 at a time. No
// operation of the system reads them.
#pragma once

#include <atomic>
#include <cstdint>

#include "ostrel_local/selector.hpp"

namespace ostrel_local::bin_stats::batch {

inline constexpr std::uint32_t BATCH_SLOTS = 8;
inline constexpr std::uint32_t FLUSH_EVERY = 64;

// Any thread adds. Relaxed: statistics, nothing is published through them.
extern constinit std::atomic<std::uint64_t> ALLOC_COUNT[selector::SIZE_CLASSES];
extern constinit std::atomic<std::uint64_t> DEALLOC_COUNT[selector::SIZE_CLASSES];
extern constinit std::atomic<std::uint64_t> REQUESTED_BYTES[selector::SIZE_CLASSES];
extern constinit std::atomic<std::uint64_t> CROSS_THREAD_RECLAIMED_BLOCKS;

struct BatchSlot {
    std::uint8_t size_class;
    std::uint32_t count;  // 0 = empty
};

// Owner thread only.
struct ThreadBinStats {
    BatchSlot allocs[BATCH_SLOTS];
    BatchSlot frees[BATCH_SLOTS];

    // Adds every pending count to the global counters and empties the slots.
    static void flush(ThreadBinStats& stats);
};

// Zero at thread start, trivially destructible; flushed by the allocator slot's thread-exit
// handler.
extern constinit thread_local ThreadBinStats THREAD_STATS;

// Counts one event of class c in its slot (c mod 8), passing full or displaced counts on.
inline void count_event(BatchSlot (&slots)[BATCH_SLOTS], std::atomic<std::uint64_t>* global, std::uint8_t c) {
    BatchSlot& slot = slots[c % BATCH_SLOTS];
    if (slot.count != 0 && slot.size_class == c) {
        if (++slot.count == FLUSH_EVERY) {
            global[c].fetch_add(FLUSH_EVERY, std::memory_order_relaxed);
            slot.count = 0;
        }
        return;
    }
    if (slot.count != 0) global[slot.size_class].fetch_add(slot.count, std::memory_order_relaxed);
    slot.size_class = c;
    slot.count = 1;
}

// With stats = nullptr (a thread without an allocator slot, which would never flush) the
// event goes straight to the global counter.
inline void record_alloc(ThreadBinStats* stats, std::uint8_t c, std::uint64_t requested_bytes) {
    REQUESTED_BYTES[c].fetch_add(requested_bytes, std::memory_order_relaxed);
    if (stats) {
        count_event(stats->allocs, ALLOC_COUNT, c);
    } else {
        ALLOC_COUNT[c].fetch_add(1, std::memory_order_relaxed);
    }
}
inline void record_free(ThreadBinStats* stats, std::uint8_t c) {
    if (stats) {
        count_event(stats->frees, DEALLOC_COUNT, c);
    } else {
        DEALLOC_COUNT[c].fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace ostrel_local::bin_stats::batch
