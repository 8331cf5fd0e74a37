// Helpers of the arena tests: whether an address is mapped, and a drain of the global
// pools so that a test starts from empty pools even when the whole binary runs in one
// process.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "ostrel_arena/segment/pool.hpp"

namespace ostrel_arena_test {

inline bool is_mapped(std::uintptr_t address) {
    unsigned char residency = 0;
    auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    return mincore(reinterpret_cast<void*>(address & ~(page - 1)), page, &residency) == 0 || errno != ENOMEM;
}

inline void drain_pools() {
    namespace pool = ostrel_arena::segment::pool;
    pool::purge_retained_segments();
    pool::purge_retained_large_blocks();
}

inline std::uint64_t retained_count(std::uint32_t node) {
    return ostrel_arena::segment::pool::WRAPPER_BACKEND_POOLS.retained[node % 16].guarded.stack.count.load();
}

}  // namespace ostrel_arena_test
