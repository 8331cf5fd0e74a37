#include "ostrel_core/types/page.hpp"

#include <cstring>

#include "ostrel_core/fault.hpp"

namespace ostrel_core::types::page {

using ostrel_core::fault::abort_corrupted;

void clear_idle_occupancy(SegmentHeader& segment) {
    for (std::uint32_t i = FIRST_BLOCK_PAGE; i < PAGES_PER_SEGMENT; ++i) {
        if (segment.pages[i].local.used == 0) segment.local.occupancy &= ~(1u << i);
    }
}

void reset_header(SegmentHeader& segment, std::uintptr_t raw_mapping, std::uint32_t node) {
    std::memset(static_cast<void*>(&segment), 0, sizeof(SegmentHeader));
    for (std::uint32_t i = 0; i < PAGES_PER_SEGMENT; ++i) {
        segment.pages[i].local.page_index = static_cast<std::uint8_t>(i);
    }
    segment.shared.raw_mapping = raw_mapping;
    segment.shared.node = node;
}

void Page::initialize_free_list_in_segment_dynamic(SegmentHeader& segment, std::uint32_t index) {
    PageLocal& page = segment.pages[index].local;
    if (page.used != 0) {
        page.used = 0;
        mark_unoccupied_unless_current(segment, index);
    }
    page.bump = 0;
    page.free_a = end_of_list;
    page.free_b = end_of_list;
}

namespace {

// A block of the page: 16-byte aligned and wholly inside the page.
bool block_inside(std::uintptr_t block, std::uintptr_t start, std::uint32_t block_size) {
    if (block % BLOCK_ALIGNMENT != 0 || block < start) return false;
    return block - start <= PAGE_BYTES && PAGE_BYTES - (block - start) >= block_size;
}

}  // namespace

std::uint32_t Page::reclaim_thread_free_in_segment(SegmentHeader& segment, std::uint32_t index) {
    Page& record = segment.pages[index];
    // Acquire: the blocks' link words were written before each pusher's release CAS.
    std::uint64_t word = thread_free_word(record).exchange(0, std::memory_order_acquire);
    std::uintptr_t head = thread_free_head(word);
    std::uint32_t count = thread_free_count(word);
    if (head == end_of_list) {
        if (count != 0) abort_corrupted();
        return 0;
    }
    PageLocal& page = record.local;
    if (count == 0 || page.used < count) abort_corrupted();
    page.used -= count;
    if (page.used == 0) mark_unoccupied_unless_current(segment, index);

    std::uintptr_t start = page_start(segment, index);
    std::uintptr_t last = head;
    for (std::uint32_t seen = 1;; ++seen) {
        if (!block_inside(last, start, page.block_size)) abort_corrupted();
        std::uintptr_t next = *reinterpret_cast<const std::uintptr_t*>(last);
        if (seen == count) {
            if (next != end_of_list) abort_corrupted();  // longer than its count
            break;
        }
        if (next == end_of_list) abort_corrupted();  // shorter than its count
        last = next;
    }
    std::uintptr_t& list = list_head(page, choose_list(page, page.used));
    *reinterpret_cast<std::uintptr_t*>(last) = list;
    list = head;
    return count;
}

}  // namespace ostrel_core::types::page
