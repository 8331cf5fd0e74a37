// The free front end. A block freed by the thread that owns its segment goes straight back
// onto its page's local list; a block of any other thread's (or of no thread's) segment is
// pushed onto its page's atomic thread-free chain for the owner to collect. Large blocks,
// and small requests that a large block served, go back to the large-block pools.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ostrel_arena/arena.hpp"
#include "ostrel_core/fault.hpp"
#include "ostrel_core/types/page.hpp"
#include "ostrel_local/bin_stats/batch.hpp"
#include "ostrel_local/local_alloc.hpp"
#include "ostrel_local/tls_slot.hpp"
#include "ostrel_prof/control.hpp"
#include "ostrel_prof/sampler/sampler.hpp"

namespace ostrel_local::free {

using local_alloc::Page;
using local_alloc::ThreadAllocator;

// Pushes a block onto the page's thread-free chain; any thread. An address below 2 MiB or
// at or above 2^48, or the block already at the chain's head, aborts the process.
void thread_free_cold(std::uintptr_t block, Page& page);

// The owner's free of a block of its own segment.
void free_local(ThreadAllocator& allocator, ostrel_core::types::page::SegmentHeader& segment, Page& page,
                std::uintptr_t block);

// Gives back a block from thread_alloc. Requires: `size` and `alignment` are those of the
// allocation (they are not needed to find the block's page); any thread may call it. An
// address below 2 MiB or at or above 2^48 aborts the process.
inline void thread_free(void* block, std::size_t size, std::size_t alignment) {
    namespace page = ostrel_core::types::page;
    (void)size;
    (void)alignment;
    if (block == nullptr) return;
    auto address = reinterpret_cast<std::uintptr_t>(block);
    // No segment or large mapping can hold such an address: abort before reading a header
    // that is not there, which would fault instead.
    if (address < page::SEGMENT_BYTES || address >= page::ADDRESS_LIMIT) ostrel_core::fault::abort_corrupted();
    page::SegmentHeader* segment = page::segment_of(address);
    std::uint32_t index = page::page_index_of(address);
    Page& record = segment->pages[index];
    // Relaxed: see the profiler's switches.
    if (ostrel_prof::control::PROFILING_OR_HOOKS_ACTIVE.load(std::memory_order_relaxed)) {
        ostrel_prof::sampler::record_free_profile(block, &record, index);
    }
    // First, whatever size and alignment say: a small request may have been served large.
    if (index == 0 || record.local.block_size == 0) {
        ostrel_arena::arena::deallocate_large_or_huge(block);
        return;
    }
    ThreadAllocator* allocator = tls_slot::CACHED_SLOT_PTR;
    bin_stats::batch::record_free(allocator ? &bin_stats::batch::THREAD_STATS : nullptr, record.local.size_class);
    if (allocator == nullptr || page::owner_of(*segment) != allocator->id) {
        thread_free_cold(address, record);
        return;
    }
    free_local(*allocator, *segment, record, address);
}

}  // namespace ostrel_local::free
