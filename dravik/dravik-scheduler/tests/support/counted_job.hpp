// A 128-byte job for the container tests: an id and a pattern that checks the record was
// copied whole, and per-id counts of how the job left (discarded or taken).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace dravik_scheduler_testing {

inline constexpr std::size_t max_ids = 1 << 20;

inline std::array<std::atomic<std::uint8_t>, max_ids>& discards() {
    static std::array<std::atomic<std::uint8_t>, max_ids> counts{};
    return counts;
}

struct CountedJob {
    std::uint64_t id;
    std::uint64_t check[15];

    void discard() noexcept { discards()[id].fetch_add(1, std::memory_order_relaxed); }
    bool whole() const noexcept {
        for (std::uint64_t i = 0; i < 15; ++i) {
            if (check[i] != id * 131 + i) return false;
        }
        return true;
    }
};
static_assert(sizeof(CountedJob) == 128);

inline CountedJob job(std::uint64_t id) {
    CountedJob j{};
    j.id = id;
    for (std::uint64_t i = 0; i < 15; ++i) j.check[i] = id * 131 + i;
    return j;
}

inline void reset_discards(std::size_t ids) {
    for (std::size_t i = 0; i < ids; ++i) discards()[i].store(0);
}

}  // namespace dravik_scheduler_testing
