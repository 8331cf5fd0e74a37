#include "ostrel_local/tls_slot.hpp"

#include <pthread.h>

#include <atomic>
#include <optional>

#include "ostrel_arena/segment/alloc.hpp"
#include "ostrel_arena/segment/pool.hpp"
#include "ostrel_core/options.hpp"
#include "ostrel_local/bin_stats/batch.hpp"

namespace ostrel_local::tls_slot {

namespace page = ostrel_core::types::page;
namespace pool = ostrel_arena::segment::pool;
using page::SegmentHeader;

constinit thread_local LocalAllocatorSlot ALLOCATOR_SLOT{};
constinit thread_local ThreadAllocator* CACHED_SLOT_PTR = nullptr;

namespace {

// Key + 1 once published, 0 before. No lock: a process forked while another thread was
// creating the key has no copy of that thread, so the child must never wait for it.
// Racing creators publish with one compare-and-swap and the losers delete their own key;
// a failed pthread_key_create is retried by the next registration.
constinit std::atomic<std::uint64_t> published_key{0};
constinit std::atomic<void (*)()> key_created_hook{nullptr};

// The next owner id. It only grows, and a forked child continues from the value the parent
// had at the fork, so no thread of the child can take the id of a thread of the parent.
// Relaxed: the id carries no other data.
constinit std::atomic<page::OwnerId> next_owner_id{page::no_owner + 1};

void on_thread_exit(void* slot) { release_slot(*static_cast<LocalAllocatorSlot*>(slot)); }

std::optional<pthread_key_t> slot_key() {
    // Acquire pairs with the release below: a thread that sees the key sees it created.
    if (std::uint64_t key = published_key.load(std::memory_order_acquire)) return static_cast<pthread_key_t>(key - 1);
    pthread_key_t created{};
    if (pthread_key_create(&created, &on_thread_exit) != 0) return std::nullopt;
    // Relaxed: tests set the hook before any thread registers.
    if (auto hook = key_created_hook.load(std::memory_order_relaxed)) hook();
    std::uint64_t expected = 0;
    if (published_key.compare_exchange_strong(expected, std::uint64_t{created} + 1, std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
        return created;
    }
    pthread_key_delete(created);
    return static_cast<pthread_key_t>(expected - 1);
}

// Pushes onto the node's retained pool while it has room, trying its lock a bounded number
// of times: an exiting thread does not wait.
bool try_retain(SegmentHeader& segment) {
    pool::GuardedStack& retained = pool::WRAPPER_BACKEND_POOLS.retained[segment.shared.node % pool::NODE_POOLS].guarded;
    // Relaxed: a retention hint and an option read once per process.
    if (retained.stack.count.load(std::memory_order_relaxed) >=
        ostrel_core::options::MAX_RETAINED_SEGMENTS.load(std::memory_order_relaxed)) {
        return false;
    }
    if (!pool::try_lock_bounded(retained.lock, pool::bounded_lock_attempts)) return false;
    pool::push_chain_locked(retained, &segment, &segment, 1, 0);
    pool::unlock(retained.lock);
    return true;
}

// Reclaims the occupied pages' remote frees; returns the blocks still in use.
std::uint64_t reclaim_segment(ThreadAllocator& allocator, SegmentHeader& segment) {
    std::uint64_t used = 0;
    std::uint32_t occupied = segment.local.occupancy & page::user_pages_mask;
    while (occupied != 0) {
        auto index = static_cast<std::uint32_t>(__builtin_ctz(occupied));
        occupied &= occupied - 1;
        local_alloc::reclaim(allocator, segment.pages[index]);
        used += segment.pages[index].local.used;
    }
    return used;
}

// Drops every trace of the exiting owner from the segment.
void disown(SegmentHeader& segment) {
    page::set_owner(segment, page::no_owner);
    segment.local.current = 0;
    segment.local.owned_next = nullptr;
    segment.local.owned_prev = nullptr;
    segment.local.queued = 0;
    for (page::Page& record : segment.pages) {
        record.local.queue_kind = page::QueueKind::none;
        record.local.queue_next = nullptr;
        record.local.queue_prev = nullptr;
    }
}

}  // namespace

ThreadAllocator* register_slot() {
    LocalAllocatorSlot& slot = ALLOCATOR_SLOT;
    if (slot.state == SlotState::destroyed) return nullptr;
    if (slot.state == SlotState::unregistered) {
        std::optional<pthread_key_t> key = slot_key();
        if (!key || pthread_setspecific(*key, &slot) != 0) return nullptr;
        slot.allocator.id = next_owner_id.fetch_add(1, std::memory_order_relaxed);
        slot.state = SlotState::registered;
    }
    CACHED_SLOT_PTR = &slot.allocator;
    return CACHED_SLOT_PTR;
}

void release_slot(LocalAllocatorSlot& slot) {
    slot.state = SlotState::destroyed;
    CACHED_SLOT_PTR = nullptr;
    ThreadAllocator& allocator = slot.allocator;

    if (SegmentHeader* current = allocator.current) {
        current->local.current = 0;
        page::clear_idle_occupancy(*current);
        allocator.current = nullptr;
    }

    SegmentHeader* abandoned_first = nullptr;
    SegmentHeader* abandoned_last = nullptr;
    std::uint64_t abandoned_count = 0;
    auto abandon = [&](SegmentHeader& segment) {
        segment.shared.pool_link = reinterpret_cast<std::uint64_t>(abandoned_first);
        abandoned_first = &segment;
        if (abandoned_last == nullptr) abandoned_last = &segment;
        ++abandoned_count;
    };
    for (SegmentHeader* segment = allocator.owned_head; segment;) {
        SegmentHeader* next = segment->local.owned_next;
        std::uint64_t used = reclaim_segment(allocator, *segment);
        disown(*segment);
        if (used != 0) {
            abandon(*segment);
        } else if (!try_retain(*segment) && !ostrel_arena::segment::alloc::unmap_segment(*segment) &&
                   !try_retain(*segment)) {
            abandon(*segment);
        }
        segment = next;
    }

    if (abandoned_first) {
        // The most recently chained segment names the pool.
        pool::GuardedStack& target =
            pool::WRAPPER_BACKEND_POOLS.abandoned[abandoned_first->shared.node % pool::NODE_POOLS].guarded;
        if (!pool::try_lock_bounded(target.lock, pool::bounded_lock_attempts)) pool::lock(target.lock);
        pool::push_chain_locked(target, abandoned_first, abandoned_last, abandoned_count, 0);
        pool::unlock(target.lock);
    }

    for (auto& head : allocator.available) head = nullptr;
    for (auto& head : allocator.full) head = nullptr;
    allocator.empty = nullptr;
    allocator.next_page_index = 0;
    allocator.owned_head = nullptr;
    allocator.owned_count = 0;
    bin_stats::batch::CROSS_THREAD_RECLAIMED_BLOCKS.fetch_add(allocator.reclaimed_blocks, std::memory_order_relaxed);
    allocator.reclaimed_blocks = 0;
    bin_stats::batch::ThreadBinStats::flush(bin_stats::batch::THREAD_STATS);
}

namespace detail {

void set_key_created_hook(void (*hook)()) { key_created_hook.store(hook, std::memory_order_relaxed); }

}  // namespace detail

}  // namespace ostrel_local::tls_slot
