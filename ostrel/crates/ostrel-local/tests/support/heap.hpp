// Helpers of the thread-allocator tests: fresh threads (each gets a fresh heap), a look at
// the calling thread's allocator, and the page and segment of a block.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <thread>

#include "ostrel_arena/segment/pool.hpp"
#include "ostrel_core/types/page.hpp"
#include "ostrel_decay/step.hpp"
#include "ostrel_local/alloc.hpp"
#include "ostrel_local/free.hpp"
#include "ostrel_local/tls_slot.hpp"
#include "ostrel_testing/process.hpp"

namespace ostrel_local_test {

namespace page = ostrel_core::types::page;
namespace pool = ostrel_arena::segment::pool;
using ostrel_local::alloc::thread_alloc;
using ostrel_local::free::thread_free;
using ostrel_local::local_alloc::ThreadAllocator;

template <class Body>
void on_fresh_thread(Body body) {
    std::thread thread(body);
    thread.join();
}

inline ThreadAllocator& heap() { return *ostrel_local::tls_slot::CACHED_SLOT_PTR; }

inline std::uintptr_t address(void* block) { return reinterpret_cast<std::uintptr_t>(block); }
inline page::SegmentHeader* segment_of(void* block) { return page::segment_of(address(block)); }
inline page::Page& page_of(void* block) { return segment_of(block)->pages[page::page_index_of(address(block))]; }
inline std::uintptr_t page_start_of(void* block) { return page::page_start_of(page_of(block)); }

inline std::size_t list_length(page::Page* head) {
    std::size_t n = 0;
    for (; head; head = head->local.queue_next) ++n;
    return n;
}
inline bool in_list(page::Page* head, const page::Page* wanted) {
    for (; head; head = head->local.queue_next) {
        if (head == wanted) return true;
    }
    return false;
}

inline bool is_large(void* block) {
    std::uint32_t index = page::page_index_of(address(block));
    return index == 0 || segment_of(block)->pages[index].local.block_size == 0;
}

inline bool is_mapped(std::uintptr_t at) {
    unsigned char residency = 0;
    return mincore(reinterpret_cast<void*>(at & ~std::uintptr_t(4095)), 4096, &residency) == 0 || errno != ENOMEM;
}

// Empties every retained pool (after moving emptied abandoned segments there), so that the
// next segment a thread needs is one with live blocks or a fresh one.
inline void drain_retained() { ostrel_decay::step::decay_step(); }

inline std::uint64_t abandoned_total() {
    std::uint64_t total = 0;
    for (auto& p : pool::WRAPPER_BACKEND_POOLS.abandoned) total += p.guarded.stack.count.load();
    return total;
}
inline std::uint64_t retained_total() {
    std::uint64_t total = 0;
    for (auto& p : pool::WRAPPER_BACKEND_POOLS.retained) total += p.guarded.stack.count.load();
    return total;
}

}  // namespace ostrel_local_test
