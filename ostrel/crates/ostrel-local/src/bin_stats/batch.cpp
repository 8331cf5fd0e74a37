#include "ostrel_local/bin_stats/batch.hpp"

namespace ostrel_local::bin_stats::batch {

constinit std::atomic<std::uint64_t> ALLOC_COUNT[selector::SIZE_CLASSES]{};
constinit std::atomic<std::uint64_t> DEALLOC_COUNT[selector::SIZE_CLASSES]{};
constinit std::atomic<std::uint64_t> REQUESTED_BYTES[selector::SIZE_CLASSES]{};
constinit std::atomic<std::uint64_t> CROSS_THREAD_RECLAIMED_BLOCKS{0};
constinit thread_local ThreadBinStats THREAD_STATS{};

void ThreadBinStats::flush(ThreadBinStats& stats) {
    for (std::uint32_t s = 0; s < BATCH_SLOTS; ++s) {
        if (stats.allocs[s].count) ALLOC_COUNT[stats.allocs[s].size_class].fetch_add(stats.allocs[s].count);
        if (stats.frees[s].count) DEALLOC_COUNT[stats.frees[s].size_class].fetch_add(stats.frees[s].count);
        stats.allocs[s] = {};
        stats.frees[s] = {};
    }
}

}  // namespace ostrel_local::bin_stats::batch
