#include "ostrel_local/alloc.hpp"

#include "ostrel_decay/engine.hpp"
#include "ostrel_local/options.hpp"

namespace ostrel_local::alloc {

void* thread_alloc_cold(std::uint8_t c, std::size_t m, std::size_t alignment, ThreadAllocator* allocator) {
    ostrel_decay::engine::respawn_after_fork_if_needed();
    if (allocator == nullptr) {
        options::init_options_from_env();
        allocator = tls_slot::CACHED_SLOT_PTR;
        if (allocator == nullptr) allocator = tls_slot::register_slot();
        if (allocator == nullptr) return ostrel_arena::arena::allocate_large_or_huge(m, alignment);
    }
    if (!allocator->busy) {
        local_alloc::BusyScope busy(*allocator);
        if (void* block = allocator->alloc_cold(c)) {
            bin_stats::batch::record_alloc(&bin_stats::batch::THREAD_STATS, c, m);
            return block;
        }
    }
    // Busy (re-entered) or out of segments: a large block serves the small request.
    return ostrel_arena::arena::allocate_large_or_huge(m, alignment);
}

}  // namespace ostrel_local::alloc
