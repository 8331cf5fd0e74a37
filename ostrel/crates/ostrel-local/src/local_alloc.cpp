#include "ostrel_local/local_alloc.hpp"

#include "kavrel/domain/error/error.hpp"
#include "ostrel_arena/segment/alloc.hpp"
#include "ostrel_arena/segment/pool.hpp"

namespace ostrel_local::local_alloc {

namespace page = ostrel_core::types::page;
namespace pool = ostrel_arena::segment::pool;
using ostrel_core::fault::abort_corrupted;

namespace {

Page*& head_of(ThreadAllocator& allocator, QueueKind kind, std::uint8_t size_class) {
    switch (kind) {
        case QueueKind::available:
            return allocator.available[size_class];
        case QueueKind::full:
            return allocator.full[size_class];
        case QueueKind::empty:
            return allocator.empty;
        case QueueKind::none:
            break;
    }
    abort_corrupted();
}

std::uint32_t capacity_of(const Page& record) { return selector::CLASS_PAGE_CAPACITY[record.local.size_class]; }

// Lists, then tail, then the thread-free chain.
std::uintptr_t take_any(ThreadAllocator& allocator, Page& record) {
    if (std::uintptr_t block = take_block(record)) return block;
    if (page::has_thread_free(record)) return take_after_reclaim(allocator, record);
    return 0;
}

void link_owned(ThreadAllocator& allocator, SegmentHeader& segment) {
    page::set_owner(segment, allocator.id);
    segment.local.owned_prev = nullptr;
    segment.local.owned_next = allocator.owned_head;
    if (allocator.owned_head) allocator.owned_head->local.owned_prev = &segment;
    allocator.owned_head = &segment;
    ++allocator.owned_count;
}

void unlink_owned(ThreadAllocator& allocator, SegmentHeader& segment) {
    if (segment.local.owned_prev) {
        segment.local.owned_prev->local.owned_next = segment.local.owned_next;
    } else {
        allocator.owned_head = segment.local.owned_next;
    }
    if (segment.local.owned_next) segment.local.owned_next->local.owned_prev = segment.local.owned_prev;
    segment.local.owned_next = nullptr;
    segment.local.owned_prev = nullptr;
    --allocator.owned_count;
    page::set_owner(segment, page::no_owner);
}

// Files the pages of an adopted segment in this thread's lists; returns the first page
// without used blocks, taken for the refill, or nullptr.
Page* file_adopted_pages(ThreadAllocator& allocator, SegmentHeader& segment) {
    Page* taken = nullptr;
    for (std::uint32_t i = page::FIRST_BLOCK_PAGE; i < page::PAGES_PER_SEGMENT; ++i) {
        Page& record = segment.pages[i];
        // The previous owner's links are stale.
        record.local.queue_kind = QueueKind::none;
        record.local.queue_next = nullptr;
        record.local.queue_prev = nullptr;
        if (record.local.block_size != 0) reclaim(allocator, record);
        if (record.local.used > 0) {
            push_front(allocator, record, record.local.used < capacity_of(record) ? QueueKind::available : QueueKind::full);
        } else if (taken == nullptr) {
            taken = &record;
        } else {
            push_front(allocator, record, QueueKind::empty);
        }
    }
    return taken;
}

Page* take_from_empty_list(ThreadAllocator& allocator) {
    Page* chosen = allocator.empty;
    Page* candidate = allocator.empty;
    for (std::uint32_t k = 0; candidate && k < empty_pages_scanned; ++k, candidate = candidate->local.queue_next) {
        // A page of a segment that still holds blocks: fully empty segments can then be
        // released by the sweep.
        if (page::segment_of_page(*candidate).local.occupancy != 0) {
            chosen = candidate;
            break;
        }
    }
    unlink(allocator, *chosen);
    return chosen;
}

// Step 4 of the refill: a page to reset for a class, or nullptr when no segment can be had.
Page* find_page(ThreadAllocator& allocator) {
    for (;;) {
        if (allocator.empty) return take_from_empty_list(allocator);
        if (allocator.current && allocator.next_page_index < page::PAGES_PER_SEGMENT) {
            return &allocator.current->pages[allocator.next_page_index++];
        }
        AcquiredSegment acquired = acquire_policy_compatible_segment();
        if (acquired.segment == nullptr) return nullptr;
        SegmentHeader& segment = *acquired.segment;
        link_owned(allocator, segment);
        make_current(allocator, segment);
        if (!acquired.adopted) {
            allocator.next_page_index = page::FIRST_BLOCK_PAGE + 1;
            return &segment.pages[page::FIRST_BLOCK_PAGE];
        }
        allocator.next_page_index = no_page_left;
        segment.local.queued = 0;
        if (Page* taken = file_adopted_pages(allocator, segment)) return taken;
    }
}

void release_segment(ThreadAllocator& allocator, SegmentHeader& segment) {
    std::uint32_t queued = segment.local.queued & page::user_pages_mask;
    while (queued != 0) {
        auto index = static_cast<std::uint32_t>(__builtin_ctz(queued));
        queued &= queued - 1;
        unlink(allocator, segment.pages[index]);
    }
    unlink_owned(allocator, segment);
    ostrel_arena::segment::alloc::deallocate_segment(segment);
}

void sweep(ThreadAllocator& allocator) {
    for (SegmentHeader* segment = allocator.owned_head; segment;) {
        SegmentHeader* next = segment->local.owned_next;
        if (segment == allocator.current) {
            segment = next;
            continue;
        }
        bool in_use = false;
        std::uint32_t occupied = segment->local.occupancy & page::user_pages_mask;
        while (occupied != 0) {
            auto index = static_cast<std::uint32_t>(__builtin_ctz(occupied));
            occupied &= occupied - 1;
            Page& record = segment->pages[index];
            const std::uint32_t reclaimed = page::has_thread_free(record) ? reclaim(allocator, record) : 0;
            if (record.local.used != 0) {
                in_use = true;
                // The refill finds full pages only by their remote frees, which are now taken
                // back: on the full list these blocks would never be handed out again.
                if (reclaimed > 0 && record.local.queue_kind == QueueKind::full) {
                    move_to_front(allocator, record, QueueKind::available);
                }
                continue;
            }
            QueueKind kind = record.local.queue_kind;
            if ((kind == QueueKind::available || kind == QueueKind::full) && !only_available_page(record)) {
                move_to_front(allocator, record, QueueKind::empty);
            }
        }
        if (!in_use && allocator.owned_count > segments_kept_by_sweep) release_segment(allocator, *segment);
        segment = next;
    }
}

}  // namespace

void push_front(ThreadAllocator& allocator, Page& record, QueueKind kind) {
    Page*& head = head_of(allocator, kind, record.local.size_class);
    record.local.queue_prev = nullptr;
    record.local.queue_next = head;
    if (head) head->local.queue_prev = &record;
    head = &record;
    record.local.queue_kind = kind;
    page::segment_of_page(record).local.queued |= 1u << record.local.page_index;
}

void unlink(ThreadAllocator& allocator, Page& record) {
    if (record.local.queue_kind == QueueKind::none) return;
    Page*& head = head_of(allocator, record.local.queue_kind, record.local.size_class);
    if (record.local.queue_prev) {
        record.local.queue_prev->local.queue_next = record.local.queue_next;
    } else {
        if (head != &record) abort_corrupted();
        head = record.local.queue_next;
    }
    if (record.local.queue_next) record.local.queue_next->local.queue_prev = record.local.queue_prev;
    record.local.queue_next = nullptr;
    record.local.queue_prev = nullptr;
    record.local.queue_kind = QueueKind::none;
    page::segment_of_page(record).local.queued &= ~(1u << record.local.page_index);
}

std::uint32_t reclaim(ThreadAllocator& allocator, Page& record) {
    std::uint32_t count = Page::reclaim_thread_free_in_segment(page::segment_of_page(record), record.local.page_index);
    allocator.reclaimed_blocks += count;
    return count;
}

std::uintptr_t take_after_reclaim(ThreadAllocator& allocator, Page& record) {
    reclaim(allocator, record);
    std::uintptr_t block = take_block(record);
    if (block == 0) kavrel::domain::error::fail_invariant("invariant: reclaimed remote frees populate the page-local free list");
    return block;
}

AcquiredSegment acquire_policy_compatible_segment() {
    if (SegmentHeader* retained = ostrel_arena::segment::alloc::pop_free_segment()) return {retained, false};
    if (SegmentHeader* abandoned = pool::GlobalSegmentPool::pop(pool::WRAPPER_BACKEND_POOLS.abandoned)) {
        return {abandoned, true};
    }
    return {ostrel_arena::segment::alloc::map_fresh_segment(), false};
}

void make_current(ThreadAllocator& allocator, SegmentHeader& segment) {
    if (allocator.current && allocator.current != &segment) {
        allocator.current->local.current = 0;
        page::clear_idle_occupancy(*allocator.current);
    }
    segment.local.current = 1;
    allocator.current = &segment;
}

void* ThreadAllocator::alloc_cold(std::uint8_t c) {
    if (++cold_operations >= cold_operations_per_sweep) run_periodic_defragmentation(*this);

    if (Page* head = available[c]) {
        if (std::uintptr_t block = take_any(*this, *head)) return reinterpret_cast<void*>(block);
        move_to_front(*this, *head, QueueKind::full);
        if (Page* next = available[c]) {
            if (std::uintptr_t block = take_any(*this, *next)) return reinterpret_cast<void*>(block);
        }
    }

    Page* candidate = full[c];
    for (std::uint32_t k = 0; candidate && k < full_pages_scanned; ++k) {
        Page* next = candidate->local.queue_next;
        if (page::has_thread_free(*candidate) && reclaim(*this, *candidate) > 0) {
            std::uintptr_t block = take_block(*candidate);
            if (block == 0) {
                kavrel::domain::error::fail_invariant("invariant: reclaimed remote frees populate the page-local free list");
            }
            if (candidate->local.used < capacity_of(*candidate)) move_to_front(*this, *candidate, QueueKind::available);
            return reinterpret_cast<void*>(block);
        }
        candidate = next;
    }

    Page* found = find_page(*this);
    if (found == nullptr) return nullptr;
    found->local.block_size = selector::CLASS_BLOCK_SIZE[c];
    found->local.size_class = c;
    Page::initialize_free_list_in_segment_dynamic(page::segment_of_page(*found), found->local.page_index);
    push_front(*this, *found, QueueKind::available);
    std::uintptr_t block = take_block(*found);
    if (found->local.used == capacity_of(*found)) move_to_front(*this, *found, QueueKind::full);
    return reinterpret_cast<void*>(block);
}

void ThreadAllocator::run_periodic_defragmentation(ThreadAllocator& allocator) {
    allocator.cold_operations = 0;
    sweep(allocator);
}

void run_idle_memory_maintenance(ThreadAllocator& allocator) { sweep(allocator); }

}  // namespace ostrel_local::local_alloc
