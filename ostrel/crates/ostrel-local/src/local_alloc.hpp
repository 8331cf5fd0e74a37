// The per-thread allocator: for each size class a list of pages that may still hand out
// blocks and a list of pages found full, one list of empty pages, the segment new pages
// are carved from and the segments the thread owns. Everything here is touched only by the
// owning thread, without locks; other threads reach its pages only through their
// thread-free words.
#pragma once

#include <cstdint>

#include "ostrel_core/fault.hpp"
#include "ostrel_core/types/page.hpp"
#include "ostrel_local/selector.hpp"

namespace ostrel_local::local_alloc {

using ostrel_core::types::page::Page;
using ostrel_core::types::page::OwnerId;
using ostrel_core::types::page::QueueKind;
using ostrel_core::types::page::SegmentHeader;

inline constexpr std::uint32_t no_page_left = ostrel_core::types::page::PAGES_PER_SEGMENT;
inline constexpr std::uint64_t cold_operations_per_sweep = 64;
inline constexpr std::uint32_t full_pages_scanned = 128;
inline constexpr std::uint32_t empty_pages_scanned = 16;
inline constexpr std::uint64_t segments_kept_by_sweep = 3;

// Zero-initialised thread-local storage; owner thread only.
struct ThreadAllocator {
    Page* available[selector::SIZE_CLASSES];  // pages of the class that may still hand out blocks
    Page* full[selector::SIZE_CLASSES];       // pages of the class found without a free block
    Page* empty;                              // pages without used blocks, of any class
    SegmentHeader* current;                   // where new pages are carved, or none
    std::uint32_t next_page_index;            // next page to carve from current; 32 = none left
    SegmentHeader* owned_head;
    std::uint64_t owned_count;
    std::uint64_t reclaimed_blocks;  // taken back from thread-free chains
    std::uint64_t cold_operations;   // slow operations since the last sweep
    std::uint8_t busy;               // set while a slow path or sweep works on the lists
    OwnerId id;                      // names this allocator in the headers of its segments;
                                     // unique in the process, never reused; no_owner until
                                     // the thread's slot is registered

    // The refill of class c (alloc_cold_raw): a block, or nullptr when no segment can be had.
    void* alloc_cold(std::uint8_t c);
    // The sweep, after setting the cold-operation counter back to 0.
    static void run_periodic_defragmentation(ThreadAllocator& allocator);
};

// The sweep for an idle executor worker. Requires: the caller has set `busy` around it
// (and found it clear) and the allocator belongs to the calling thread. Leaves the
// cold-operation counter alone.
void run_idle_memory_maintenance(ThreadAllocator& allocator);

// Sets the busy flag for its scope.
class BusyScope {
public:
    explicit BusyScope(ThreadAllocator& allocator) : allocator_(allocator) { allocator_.busy = 1; }
    ~BusyScope() { allocator_.busy = 0; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    ThreadAllocator& allocator_;
};

// Page lists ---------------------------------------------------------------------------------

void push_front(ThreadAllocator& allocator, Page& page, QueueKind kind);
void unlink(ThreadAllocator& allocator, Page& page);
inline void move_to_front(ThreadAllocator& allocator, Page& page, QueueKind kind) {
    unlink(allocator, page);
    push_front(allocator, page, kind);
}
inline bool only_available_page(const Page& page) {
    return page.local.queue_kind == QueueKind::available && page.local.queue_prev == nullptr &&
           page.local.queue_next == nullptr;
}

// Blocks -------------------------------------------------------------------------------------

// Takes a block from the page's local lists or carves one from its tail; 0 when it has
// neither. A list block, or the next address stored in it, that is misaligned or outside
// the page aborts the process.
inline std::uintptr_t take_block(Page& record) {
    namespace page = ostrel_core::types::page;
    page::PageLocal& p = record.local;
    std::uintptr_t start = page::page_start_of(record);
    std::uintptr_t block;
    if (p.free_a != page::end_of_list || p.free_b != page::end_of_list) {
        std::uintptr_t& list = page::list_head(p, page::choose_list(p, p.used));
        block = list;
        auto inside = [&](std::uintptr_t b) {
            return b % page::BLOCK_ALIGNMENT == 0 && b >= start && b - start <= page::PAGE_BYTES - p.block_size;
        };
        if (!inside(block)) ostrel_core::fault::abort_corrupted();
        std::uintptr_t next = *reinterpret_cast<const std::uintptr_t*>(block);
        if (next != page::end_of_list && !inside(next)) ostrel_core::fault::abort_corrupted();
        list = next;
    } else if (p.bump < selector::CLASS_PAGE_CAPACITY[p.size_class]) {
        block = start + std::uintptr_t{p.bump} * p.block_size;
        ++p.bump;
    } else {
        return 0;
    }
    if (p.used == UINT32_MAX) ostrel_core::fault::abort_corrupted();
    if (p.used++ == 0) page::mark_occupied(page::segment_of_page(record), p.page_index);
    return block;
}

// Reclaims the page's thread-free chain into its lists, counting the blocks; returns them.
std::uint32_t reclaim(ThreadAllocator& allocator, Page& page);
// The fast path's second chance: the page has no local block but a thread-free chain, so
// after reclaiming it a block must come. Stops with an internal error if none does.
std::uintptr_t take_after_reclaim(ThreadAllocator& allocator, Page& page);

// Segments -----------------------------------------------------------------------------------

struct AcquiredSegment {
    SegmentHeader* segment;  // nullptr = failure
    bool adopted;            // from the abandoned pools, with its pages and blocks as they are
};
// A retained empty segment, else an abandoned one, else a freshly mapped one.
AcquiredSegment acquire_policy_compatible_segment();

// Makes `segment` the carving segment, ending the current role of the previous one.
void make_current(ThreadAllocator& allocator, SegmentHeader& segment);

}  // namespace ostrel_local::local_alloc
