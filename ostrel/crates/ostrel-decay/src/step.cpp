#include "ostrel_decay/step.hpp"

#include "ostrel_arena/segment/alloc.hpp"
#include "ostrel_arena/segment/pool.hpp"
#include "ostrel_core/types/page.hpp"

namespace ostrel_decay::step {

namespace pool = ostrel_arena::segment::pool;
namespace page = ostrel_core::types::page;
using page::SegmentHeader;

namespace {

// Takes back the remote frees of the occupied pages; returns the blocks still in use.
std::uint64_t reclaim_and_count(SegmentHeader& segment) {
    std::uint64_t used = 0;
    std::uint32_t occupied = segment.local.occupancy & page::user_pages_mask;
    while (occupied != 0) {
        auto index = static_cast<std::uint32_t>(__builtin_ctz(occupied));
        occupied &= occupied - 1;
        page::Page::reclaim_thread_free_in_segment(segment, index);
        used += segment.pages[index].local.used;
    }
    return used;
}

void recheck_abandoned_segments() {
    SegmentHeader* still_used = nullptr;
    while (SegmentHeader* segment = pool::GlobalSegmentPool::pop(pool::WRAPPER_BACKEND_POOLS.abandoned)) {
        if (reclaim_and_count(*segment) != 0) {
            segment->shared.pool_link = reinterpret_cast<std::uint64_t>(still_used);
            still_used = segment;
            continue;
        }
        page::set_owner(*segment, page::no_owner);
        segment->local.owned_next = nullptr;
        segment->local.owned_prev = nullptr;
        ostrel_arena::segment::alloc::deallocate_segment(*segment);
    }
    while (still_used) {
        SegmentHeader* next = reinterpret_cast<SegmentHeader*>(still_used->shared.pool_link);
        still_used->shared.pool_link = 0;
        pool::push(pool::WRAPPER_BACKEND_POOLS.abandoned[still_used->shared.node % pool::NODE_POOLS].guarded,
                   still_used);
        still_used = next;
    }
}

}  // namespace

void decay_step() {
    recheck_abandoned_segments();
    pool::purge_retained_segments();
    pool::purge_retained_large_blocks();
}

}  // namespace ostrel_decay::step
