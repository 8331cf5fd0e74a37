#include "ostrel_local/free.hpp"

#include "ostrel_core/fault.hpp"

namespace ostrel_local::free {

namespace page = ostrel_core::types::page;
using local_alloc::QueueKind;
using ostrel_core::fault::abort_corrupted;

namespace {

void push_onto(std::uintptr_t& list, std::uintptr_t block) {
    *reinterpret_cast<std::uintptr_t*>(block) = list;
    list = block;
}

}  // namespace

void thread_free_cold(std::uintptr_t block, Page& record) {
    if (block < page::SEGMENT_BYTES || block >= page::ADDRESS_LIMIT) abort_corrupted();
    std::atomic_ref<std::uint64_t> word = page::thread_free_word(record);
    // Relaxed read: the compare-and-swap below checks it.
    std::uint64_t seen = word.load(std::memory_order_relaxed);
    for (;;) {
        if (page::thread_free_head(seen) == block) abort_corrupted();  // freed twice
        *reinterpret_cast<std::uintptr_t*>(block) = page::thread_free_head(seen);
        std::uint64_t pushed = page::pack_thread_free(block, page::thread_free_count(seen) + 1);
        // Release: the owner's exchange must see the link written above.
        if (word.compare_exchange_weak(seen, pushed, std::memory_order_release, std::memory_order_relaxed)) return;
    }
}

void free_local(ThreadAllocator& allocator, page::SegmentHeader& segment, Page& record, std::uintptr_t block) {
    page::PageLocal& p = record.local;
    if (p.used == 0 || block == p.free_a || block == p.free_b || block < page::SEGMENT_BYTES) abort_corrupted();
    bool is_current = &segment == allocator.current;

    if (p.queue_kind == QueueKind::full) {
        if (allocator.busy) {
            thread_free_cold(block, record);
            return;
        }
        push_onto(p.free_a, block);
        --p.used;
        if (p.used > 0) {
            local_alloc::move_to_front(allocator, record, QueueKind::available);
            return;
        }
        page::mark_unoccupied_unless_current(segment, p.page_index);
        local_alloc::move_to_front(allocator, record, is_current ? QueueKind::available : QueueKind::empty);
        return;
    }

    if (p.used > 1 || segment.local.current) {
        push_onto(page::list_head(p, page::choose_list(p, p.used)), block);
        --p.used;
        return;
    }
    // The page's last block comes back.
    if (allocator.busy) {
        thread_free_cold(block, record);
        return;
    }
    local_alloc::BusyScope busy(allocator);
    push_onto(p.free_a, block);
    p.used = 0;
    page::mark_unoccupied_unless_current(segment, p.page_index);
    if (!is_current && !local_alloc::only_available_page(record)) {
        local_alloc::move_to_front(allocator, record, QueueKind::empty);
    }
    if (++allocator.cold_operations >= local_alloc::cold_operations_per_sweep) {
        ThreadAllocator::run_periodic_defragmentation(allocator);
    }
}

}  // namespace ostrel_local::free
