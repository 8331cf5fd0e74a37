// Segment creation and release: mapping a fresh 2 MiB segment inside a 4 MiB reservation
// on the calling thread's node, writing its header, reusing a retained segment with a
// fresh header, and giving an empty unowned segment back to its node's retained pool or to
// the system.
#pragma once

#include <cstdint>
#include <optional>

#include "ostrel_core/types/page.hpp"

namespace ostrel_arena::segment::alloc {

using ostrel_core::types::page::SegmentHeader;

struct InitializedSegment {
    SegmentHeader* segment;
    std::uintptr_t segment_end;
    std::uintptr_t reservation_end;
};

// Maps, places and initialises a new segment for the calling thread's node; a failed
// mapping is retried once after purging every node's retained segments and large blocks.
// nullptr when memory is exhausted.
SegmentHeader* map_fresh_segment();

// Writes the header of the segment inside the 4 MiB reservation at `raw`. Fails, writing
// nothing, when the segment or the reservation end would pass the end of the address space.
std::optional<InitializedSegment> initialize_allocated_segment(std::uintptr_t raw, std::uint32_t node);

// A retained empty segment from the node pools with a fresh header (raw mapping and node
// kept), or nullptr.
SegmentHeader* pop_free_segment();

// Gives an empty, unowned segment to the retained pool of its node while that holds fewer
// than MAX_RETAINED_SEGMENTS; else unmaps it, keeping it retained when the unmap fails.
void deallocate_segment(SegmentHeader& segment);

// Unmaps the segment's 4 MiB reservation; false when its raw address is 0 or munmap fails.
bool unmap_segment(SegmentHeader& segment);

namespace detail {

struct Slack {
    std::uintptr_t before_start, before_end;  // raw .. segment
    std::uintptr_t after_start, after_end;    // segment end .. reservation end
};
Slack slack_of(std::uintptr_t raw, const InitializedSegment& placed);
// Decommits the non-empty slack ranges; returns the bytes whose decommit succeeded.
std::uint64_t decommit_slack(const Slack& slack);

}  // namespace detail

}  // namespace ostrel_arena::segment::alloc
