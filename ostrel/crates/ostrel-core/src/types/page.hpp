// Segment geometry and the records at the head of every 2 MiB segment: one Page record per
// 64 KiB page and the SegmentHeader around them. A block address alone leads to its
// segment (rounded down to 2 MiB) and its page (bits 16 to 20). The two page operations
// here reset a page for a size class and take back the blocks other threads freed into it;
// both run only on the thread that holds the segment.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace ostrel_core::types::page {

inline constexpr std::uintptr_t SEGMENT_BYTES = 0x200000;
inline constexpr std::uintptr_t RESERVATION_BYTES = 0x400000;
inline constexpr std::uintptr_t PAGE_BYTES = 0x10000;
inline constexpr std::uint32_t PAGES_PER_SEGMENT = 32;
inline constexpr std::uint32_t FIRST_BLOCK_PAGE = 1;  // page 0 holds the header
inline constexpr std::uintptr_t BLOCK_ALIGNMENT = 16;
// Every block, segment, pool element and link lies below this; the 16 bits above carry
// counts and tags.
inline constexpr std::uint64_t ADDRESS_LIMIT = std::uint64_t{1} << 48;
inline constexpr std::uint64_t ADDRESS_MASK = ADDRESS_LIMIT - 1;
inline constexpr std::uintptr_t end_of_list = 0;  // free-list and chain terminator
inline constexpr std::uint32_t user_pages_mask = 0xFFFFFFFEu;  // occupancy bits of pages 1 to 31

enum class QueueKind : std::uint8_t { none = 0, available = 1, full = 2, empty = 3 };
enum class LocalList : std::uint8_t { a, b };

// Who owns a segment: an id the thread allocator draws once from a process-wide counter that
// only grows. An address would not do: in a forked child a new thread can be given the stack
// and thread-local storage, and so the allocator address, of a parent thread that did not
// survive the fork, while the segments it owned still name it.
using OwnerId = std::uint64_t;
inline constexpr OwnerId no_owner = 0;

struct Page;
struct SegmentHeader;

// The part of a page record that only the segment's holder touches: its owner thread, or
// the one thread that holds an unowned segment (adoption, thread exit, decay re-check).
struct alignas(64) PageLocal {
    std::uintptr_t free_a;     // first block of local list A, end_of_list = empty
    std::uintptr_t free_b;     // first block of local list B
    Page* queue_next;          // links in one of the owner's page lists
    Page* queue_prev;
    std::uint32_t block_size;  // 0 = page not set up for a class
    std::uint32_t used;        // blocks handed out and not back on the local lists
    std::uint32_t bump;        // blocks carved from the untouched tail
    std::uint8_t size_class;
    QueueKind queue_kind;
    std::uint8_t page_index;   // written when the header is initialised, never changed
};

// The one page field other threads write. Low 48 bits: first block of the chain of blocks
// freed by other threads; high 16 bits: blocks pushed since the last reclaim, mod 65536.
// Any thread pushes with compare-and-swap; the holder takes the chain with one exchange.
// Accessed only through std::atomic_ref.
struct alignas(64) PageShared {
    std::uint64_t thread_free;
};

struct Page {
    PageLocal local;
    PageShared shared;

    // Empties page `index` for (re)use; the caller has already written the block size and
    // size class. Blocks are carved from the tail on demand; no list is built in advance.
    static void initialize_free_list_in_segment_dynamic(SegmentHeader& segment, std::uint32_t index);
    // Moves the page's thread-free chain onto a local list; returns the blocks taken back.
    // A corrupt word or chain aborts the process.
    static std::uint32_t reclaim_thread_free_in_segment(SegmentHeader& segment, std::uint32_t index);
};

// Segment fields only the holder touches (see PageLocal).
struct alignas(64) SegmentLocal {
    SegmentHeader* owned_next;  // links in the owner's list of owned segments
    SegmentHeader* owned_prev;
    std::uint32_t occupancy;    // bit i: page i has blocks in use (only set while current)
    std::uint32_t queued;       // bit i: page i's record is in one of the owner's lists
    std::uint8_t current;       // set while this is its owner's carving segment
};

// Segment fields other threads read.
struct alignas(64) SegmentShared {
    OwnerId owner;               // the holder writes it (owner, adopter, exiting thread);
                                 // any freeing thread reads it. Only through atomic_ref.
    std::uintptr_t raw_mapping;  // written when the header is made: the unit that is unmapped
    std::uint64_t pool_link;     // written by the holder of a pool lock; next element, 0 = end
    std::uint64_t large_length;  // written when a large mapping is made: its length; 0 = segment
    std::uint32_t node;          // written when the header is made: node of the mapping thread
};

// At the start of page 0 of every segment and of every large-block mapping.
struct SegmentHeader {
    Page pages[PAGES_PER_SEGMENT];
    SegmentLocal local;
    SegmentShared shared;
};

static_assert(sizeof(SegmentHeader) <= PAGE_BYTES, "the header must fit below the first page boundary");

// Address arithmetic ------------------------------------------------------------------------

inline SegmentHeader* segment_of(std::uintptr_t address) {
    return reinterpret_cast<SegmentHeader*>(address & ~(SEGMENT_BYTES - 1));
}
inline std::uint32_t page_index_of(std::uintptr_t address) {
    return static_cast<std::uint32_t>((address >> 16) & (PAGES_PER_SEGMENT - 1));
}
inline std::uintptr_t page_start(const SegmentHeader& segment, std::uint32_t index) {
    return reinterpret_cast<std::uintptr_t>(&segment) + std::uintptr_t{index} * PAGE_BYTES;
}
// The records lie in page 0, so a record's own address leads to its segment.
inline SegmentHeader& segment_of_page(const Page& page) {
    return *segment_of(reinterpret_cast<std::uintptr_t>(&page));
}
inline std::uintptr_t page_start_of(const Page& page) {
    return page_start(segment_of_page(page), page.local.page_index);
}

// Thread-free words --------------------------------------------------------------------------

inline std::uintptr_t thread_free_head(std::uint64_t word) { return static_cast<std::uintptr_t>(word & ADDRESS_MASK); }
inline std::uint32_t thread_free_count(std::uint64_t word) { return static_cast<std::uint32_t>(word >> 48); }
inline std::uint64_t pack_thread_free(std::uintptr_t head, std::uint32_t count) {
    return (std::uint64_t{count & 0xFFFFu} << 48) | (std::uint64_t{head} & ADDRESS_MASK);
}
inline std::atomic_ref<std::uint64_t> thread_free_word(Page& page) {
    return std::atomic_ref<std::uint64_t>(page.shared.thread_free);
}
// Relaxed: a peek that decides whether to reclaim; the reclaim's exchange is the acquire.
inline bool has_thread_free(Page& page) {
    return thread_free_word(page).load(std::memory_order_relaxed) != 0;
}

// Owner -----------------------------------------------------------------------------------

// Relaxed both ways: a freeing thread only compares the owner with its own id, and its own
// writes are the only ones that can make that comparison true.
inline OwnerId owner_of(SegmentHeader& segment) {
    return std::atomic_ref<OwnerId>(segment.shared.owner).load(std::memory_order_relaxed);
}
inline void set_owner(SegmentHeader& segment, OwnerId owner) {
    std::atomic_ref<OwnerId>(segment.shared.owner).store(owner, std::memory_order_relaxed);
}

// Local lists and occupancy ---------------------------------------------------------------

// The list an operation uses when it may use either: with both lists non-empty, B when the
// low bit of `used` is 1; with one non-empty, that one; with both empty, A.
inline LocalList choose_list(const PageLocal& page, std::uint32_t used) {
    bool has_a = page.free_a != end_of_list;
    bool has_b = page.free_b != end_of_list;
    if (has_a && has_b) return (used & 1u) ? LocalList::b : LocalList::a;
    return has_b ? LocalList::b : LocalList::a;
}
inline std::uintptr_t& list_head(PageLocal& page, LocalList list) {
    return list == LocalList::a ? page.free_a : page.free_b;
}

inline void mark_occupied(SegmentHeader& segment, std::uint32_t index) { segment.local.occupancy |= 1u << index; }
// While the segment is current its bits are only ever set.
inline void mark_unoccupied_unless_current(SegmentHeader& segment, std::uint32_t index) {
    if (!segment.local.current) segment.local.occupancy &= ~(1u << index);
}
// When a segment stops being current: clears the bits of pages 1 to 31 without used blocks.
void clear_idle_occupancy(SegmentHeader& segment);

// Writes a fresh header: the given raw mapping and node, no owner, zero links and bitmaps,
// and every page record zero but its index.
void reset_header(SegmentHeader& segment, std::uintptr_t raw_mapping, std::uint32_t node);

}  // namespace ostrel_core::types::page
