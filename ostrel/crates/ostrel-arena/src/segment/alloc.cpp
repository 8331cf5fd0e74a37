#include "ostrel_arena/segment/alloc.hpp"

#include <limits>

#include "garvon/query/cache.hpp"
#include "ostrel_arena/segment/pool.hpp"
#include "ostrel_backend/backends/backends.hpp"
#include "ostrel_core/options.hpp"

namespace ostrel_arena::segment::alloc {

using ostrel_backend::backends::MemoryBackendWrapper;
using ostrel_core::types::page::RESERVATION_BYTES;
using ostrel_core::types::page::SEGMENT_BYTES;
namespace pool = ostrel_arena::segment::pool;

namespace {

constexpr std::uintptr_t address_end = std::numeric_limits<std::uintptr_t>::max();

void* map_reservation() { return MemoryBackendWrapper::allocate(RESERVATION_BYTES); }

void unmap_raw(std::uintptr_t raw) { (void)MemoryBackendWrapper::deallocate(reinterpret_cast<void*>(raw), RESERVATION_BYTES); }

}  // namespace

namespace detail {

Slack slack_of(std::uintptr_t raw, const InitializedSegment& placed) {
    auto segment = reinterpret_cast<std::uintptr_t>(placed.segment);
    return Slack{raw, segment, placed.segment_end, placed.reservation_end};
}

std::uint64_t decommit_slack(const Slack& slack) {
    std::uint64_t bytes = 0;
    if (slack.before_end > slack.before_start) {
        std::uint64_t length = slack.before_end - slack.before_start;
        if (MemoryBackendWrapper::decommit(reinterpret_cast<void*>(slack.before_start), length)) bytes += length;
    }
    if (slack.after_end > slack.after_start) {
        std::uint64_t length = slack.after_end - slack.after_start;
        if (MemoryBackendWrapper::decommit(reinterpret_cast<void*>(slack.after_start), length)) bytes += length;
    }
    return bytes;
}

}  // namespace detail

std::optional<InitializedSegment> initialize_allocated_segment(std::uintptr_t raw, std::uint32_t node) {
    // The reservation end must be representable too, or the slack after the segment
    // could not be named.
    if (raw > address_end - RESERVATION_BYTES) return std::nullopt;
    std::uintptr_t segment = (raw + SEGMENT_BYTES - 1) & ~(SEGMENT_BYTES - 1);
    std::uintptr_t reservation_end = raw + RESERVATION_BYTES;
    if (segment < raw || reservation_end - segment < SEGMENT_BYTES) return std::nullopt;
    auto* header = reinterpret_cast<SegmentHeader*>(segment);
    ostrel_core::types::page::reset_header(*header, raw, node);
    return InitializedSegment{header, segment + SEGMENT_BYTES, reservation_end};
}

SegmentHeader* map_fresh_segment() {
    pool::register_fork_handlers_once();
    void* raw = map_reservation();
    if (raw == nullptr) {
        pool::purge_retained_segments();
        pool::purge_retained_large_blocks();
        raw = map_reservation();
        if (raw == nullptr) return nullptr;
    }
    auto raw_address = reinterpret_cast<std::uintptr_t>(raw);
    std::uint32_t node = garvon::query::cache::cached_node();
    std::optional<InitializedSegment> placed = initialize_allocated_segment(raw_address, node);
    if (!placed) {
        unmap_raw(raw_address);
        return nullptr;
    }
    MemoryBackendWrapper::bind_to_node(placed->segment, SEGMENT_BYTES, node);
    (void)detail::decommit_slack(detail::slack_of(raw_address, *placed));
    return placed->segment;
}

SegmentHeader* pop_free_segment() {
    SegmentHeader* segment = pool::GlobalSegmentPool::pop(pool::WRAPPER_BACKEND_POOLS.retained);
    if (segment == nullptr) return nullptr;
    ostrel_core::types::page::reset_header(*segment, segment->shared.raw_mapping, segment->shared.node);
    return segment;
}

bool unmap_segment(SegmentHeader& segment) {
    std::uintptr_t raw = segment.shared.raw_mapping;
    if (raw == 0) return false;
    return MemoryBackendWrapper::deallocate(reinterpret_cast<void*>(raw), RESERVATION_BYTES);
}

void deallocate_segment(SegmentHeader& segment) {
    pool::GlobalSegmentPool& retained = pool::WRAPPER_BACKEND_POOLS.retained[segment.shared.node % pool::NODE_POOLS];
    // Relaxed: an option read once per process and a count that is only a retention hint.
    std::uint64_t limit = ostrel_core::options::MAX_RETAINED_SEGMENTS.load(std::memory_order_relaxed);
    if (retained.guarded.stack.count.load(std::memory_order_relaxed) < limit || !unmap_segment(segment)) {
        pool::push(retained.guarded, &segment);
    }
}

}  // namespace ostrel_arena::segment::alloc
