// The allocation front end. Requests of at most 16 KiB (with their alignment) come from
// the calling thread's own heap without locks; a thread gets its heap at its first small
// allocation, and the first one in the process reads the allocator's options. Larger
// requests, and small ones the heap cannot serve, get a large block of their own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "ostrel_arena/arena.hpp"
#include "ostrel_local/bin_stats/batch.hpp"
#include "ostrel_local/local_alloc.hpp"
#include "ostrel_local/selector.hpp"
#include "ostrel_local/tls_slot.hpp"
#include "ostrel_prof/control.hpp"
#include "ostrel_prof/sampler/sampler.hpp"

namespace ostrel_local::alloc {

using local_alloc::ThreadAllocator;

// The slow path of a small allocation of class c (m = max(size, alignment) bytes).
void* thread_alloc_cold(std::uint8_t c, std::size_t m, std::size_t alignment, ThreadAllocator* allocator);

namespace detail {

inline void* thread_alloc_small(ThreadAllocator& allocator, std::uint8_t c, std::size_t m, std::size_t alignment) {
    local_alloc::Page* page = allocator.available[c];
    if (allocator.busy || page == nullptr) return thread_alloc_cold(c, m, alignment, &allocator);
    std::uintptr_t block = local_alloc::take_block(*page);
    if (block == 0) {
        if (!ostrel_core::types::page::has_thread_free(*page)) return thread_alloc_cold(c, m, alignment, &allocator);
        block = local_alloc::take_after_reclaim(allocator, *page);
    }
    bin_stats::batch::record_alloc(&bin_stats::batch::THREAD_STATS, c, m);
    return reinterpret_cast<void*>(block);
}

}  // namespace detail

// A block of `size` bytes aligned to `alignment`, or nullptr when memory is exhausted or
// the alignment exceeds 2 MiB. Requires: `alignment` is a power of two (others give
// nullptr) and `size` is not 0. The block is freed with thread_free and the same size and
// alignment, by any thread.
inline void* thread_alloc(std::size_t size, std::size_t alignment) {
    std::size_t m = std::max(size, alignment);
    std::uint8_t c = selector::small_class(size, alignment);
    void* block;
    if (c == selector::NO_CLASS) {
        block = ostrel_arena::arena::allocate_large_or_huge(m, alignment);
    } else if (ThreadAllocator* allocator = tls_slot::CACHED_SLOT_PTR) {
        block = detail::thread_alloc_small(*allocator, c, m, alignment);
    } else {
        block = thread_alloc_cold(c, m, alignment, nullptr);
    }
    // Relaxed: see the profiler's switches.
    if (block && ostrel_prof::control::PROFILING_OR_HOOKS_ACTIVE.load(std::memory_order_relaxed)) {
        ostrel_prof::sampler::sample_allocation(block, size);
    }
    return block;
}

}  // namespace ostrel_local::alloc
