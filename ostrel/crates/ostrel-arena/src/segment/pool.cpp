#include "ostrel_arena/segment/pool.hpp"

#include <pthread.h>

#include <bit>

#include "garvon/query/cache.hpp"
#include "ostrel_arena/segment/alloc.hpp"
#include "ostrel_backend/backends/backends.hpp"
#include "ostrel_core/backoff.hpp"
#include "ostrel_core/fault.hpp"

namespace ostrel_arena::segment::pool {

using ostrel_backend::backends::MemoryBackendWrapper;
using ostrel_core::fault::abort_corrupted;
using ostrel_core::types::page::ADDRESS_LIMIT;

constinit BackendPools WRAPPER_BACKEND_POOLS{};
constinit thread_local std::uint32_t MISS_COUNT = 0;

namespace {

constexpr std::uint32_t misses_before_refresh = 30;


bool try_acquire(SpinLock& spin) {
    std::uint8_t expected = 0;
    // Acquire: the stack's head, count and elements' links were written under the lock.
    return spin.state.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed);
}

std::uint64_t next_head(std::uint64_t old_head, std::uint64_t address) {
    std::uint64_t tag = (old_head >> 48) + 1;
    return (tag << 48) | address;
}

// Installs a new head; under the lock nobody else writes it, so a failed exchange means
// the word was changed behind the lock's back.
void install_head(TaggedStack& stack, std::uint64_t old_head, std::uint64_t address) {
    // Relaxed: the lock orders every access to the head.
    if (!stack.head.compare_exchange_strong(old_head, next_head(old_head, address), std::memory_order_relaxed)) {
        abort_corrupted();
    }
}

void check_address(const void* element) {
    if (reinterpret_cast<std::uintptr_t>(element) >= ADDRESS_LIMIT) abort_corrupted();
}

struct Detached {
    SegmentHeader* first;
    std::uint64_t count;
    std::uint64_t bytes;
};

Detached detach_counted(GuardedStack& guarded) {
    lock(guarded.lock);
    TaggedStack& stack = guarded.stack;
    // Relaxed: under the lock, which orders every access to the stack.
    std::uint64_t head = stack.head.load(std::memory_order_relaxed);
    Detached detached{stack_top(head), stack.count.load(std::memory_order_relaxed),
                      stack.bytes.load(std::memory_order_relaxed)};
    install_head(stack, head, 0);
    // Relaxed: published by the unlock; other readers only use the count as a hint.
    stack.count.store(0, std::memory_order_relaxed);
    stack.bytes.store(0, std::memory_order_relaxed);
    unlock(guarded.lock);
    return detached;
}

SegmentHeader* next_in_chain(const SegmentHeader& element) {
    return reinterpret_cast<SegmentHeader*>(element.shared.pool_link);
}

template <class Visit>
void for_each_lock(Visit visit) {
    BackendPools& pools = WRAPPER_BACKEND_POOLS;
    for (GlobalHugePool& node : pools.huge) {
        for (HugeBucket& bucket : node.buckets) {
            visit(bucket.list_a.lock);
            visit(bucket.list_b.lock);
        }
    }
    for (GlobalSegmentPool& pool : pools.retained) visit(pool.guarded.lock);
    for (GlobalSegmentPool& pool : pools.abandoned) visit(pool.guarded.lock);
}

void lock_all_for_fork() {
    for_each_lock([](SpinLock& spin) { lock(spin); });
}
void unlock_all_after_fork() {
    for_each_lock([](SpinLock& spin) { unlock(spin); });
}

constinit std::atomic<bool> fork_handlers_registered{false};

}  // namespace

void lock(SpinLock& spin) {
    while (!try_acquire(spin)) {
        ostrel_core::backoff::Backoff wait = ostrel_core::backoff::owner_wait();
        // Relaxed reads: the acquiring exchange above is what orders the data.
        while (spin.state.load(std::memory_order_relaxed) != 0) wait.step();
    }
}

void unlock(SpinLock& spin) { spin.state.store(0, std::memory_order_release); }

bool try_lock_bounded(SpinLock& spin, std::uint32_t attempts) {
    for (std::uint32_t i = 0; i < attempts; ++i) {
        if (try_acquire(spin)) return true;
        ostrel_core::backoff::cpu_pause();
    }
    return false;
}

void push_chain_locked(GuardedStack& guarded, SegmentHeader* first, SegmentHeader* last, std::uint64_t length,
                       std::uint64_t bytes) {
    check_address(first);
    check_address(last);
    TaggedStack& stack = guarded.stack;
    // Relaxed: the caller holds the lock.
    std::uint64_t head = stack.head.load(std::memory_order_relaxed);
    last->shared.pool_link = head & ostrel_core::types::page::ADDRESS_MASK;
    install_head(stack, head, reinterpret_cast<std::uint64_t>(first));
    // Relaxed: the unlock publishes the stack; lock-free readers take counts as hints.
    stack.count.fetch_add(length, std::memory_order_relaxed);
    stack.bytes.fetch_add(bytes, std::memory_order_relaxed);
}

void push_chain(GuardedStack& guarded, SegmentHeader* first, SegmentHeader* last, std::uint64_t length,
                std::uint64_t bytes) {
    lock(guarded.lock);
    push_chain_locked(guarded, first, last, length, bytes);
    unlock(guarded.lock);
}

void push(GuardedStack& guarded, SegmentHeader* element) {
    check_address(element);
    push_chain(guarded, element, element, 1, element->shared.large_length);
}

SegmentHeader* pop(GuardedStack& guarded) {
    TaggedStack& stack = guarded.stack;
    // Relaxed probe: an empty pool is skipped without taking its lock.
    if (stack.count.load(std::memory_order_relaxed) == 0) return nullptr;
    lock(guarded.lock);
    // Relaxed from here on: the lock orders the stack's words.
    if (stack.count.load(std::memory_order_relaxed) == 0) {
        unlock(guarded.lock);
        return nullptr;
    }
    std::uint64_t head = stack.head.load(std::memory_order_relaxed);
    SegmentHeader* top = stack_top(head);
    if (top == nullptr) abort_corrupted();  // a count without elements
    std::uint64_t link = top->shared.pool_link;
    if (link >= ADDRESS_LIMIT) abort_corrupted();
    install_head(stack, head, link);
    stack.count.fetch_sub(1, std::memory_order_relaxed);
    stack.bytes.fetch_sub(top->shared.large_length, std::memory_order_relaxed);
    top->shared.pool_link = 0;
    unlock(guarded.lock);
    return top;
}

SegmentHeader* detach(GuardedStack& guarded) { return detach_counted(guarded).first; }

SegmentHeader* GlobalSegmentPool::pop(std::array<GlobalSegmentPool, NODE_POOLS>& pools) {
    std::uint32_t home = garvon::query::cache::cached_node() % NODE_POOLS;
    if (SegmentHeader* segment = pool::pop(pools[home].guarded)) return segment;
    if (MISS_COUNT <= misses_before_refresh) {
        ++MISS_COUNT;
    } else {
        MISS_COUNT = 0;
        std::uint32_t fresh = garvon::query::cache::refresh_cached_node() % NODE_POOLS;
        if (fresh != home) {
            if (SegmentHeader* segment = pool::pop(pools[fresh].guarded)) return segment;
            home = fresh;
        }
    }
    for (std::uint32_t k = 1; k < NODE_POOLS; ++k) {
        if (SegmentHeader* segment = pool::pop(pools[(home + k) % NODE_POOLS].guarded)) return segment;
    }
    return nullptr;
}

std::optional<std::uint32_t> bucket_of(std::uint64_t length) {
    if (length <= 0x4000) return 0;
    if (length > bucketed_length_limit) return std::nullopt;
    return static_cast<std::uint32_t>(std::bit_width(length - 1) - 1) - 13;
}

SegmentHeader* GlobalHugePool::pop_fitting_from_exact_bucket(HugeBucket& bucket, std::uint64_t length,
                                                             HugeList list) {
    GuardedStack& guarded = list_in(bucket, list);
    SegmentHeader* found = nullptr;
    SegmentHeader* aside_first = nullptr;
    SegmentHeader* aside_last = nullptr;
    std::uint64_t aside_count = 0;
    std::uint64_t aside_bytes = 0;
    while (SegmentHeader* block = pool::pop(guarded)) {
        if (block->shared.large_length >= length) {
            found = block;
            break;
        }
        if (aside_last) {
            aside_last->shared.pool_link = reinterpret_cast<std::uint64_t>(block);
        } else {
            aside_first = block;
        }
        aside_last = block;
        ++aside_count;
        aside_bytes += block->shared.large_length;
    }
    if (aside_first) push_chain(guarded, aside_first, aside_last, aside_count, aside_bytes);
    return found;
}

SegmentHeader* GlobalHugePool::pop_from_node(std::uint64_t length, std::uint32_t node, std::uint32_t start_bucket) {
    GlobalHugePool& pool = WRAPPER_BACKEND_POOLS.huge[node % NODE_POOLS];
    // Relaxed: totals and counts are probes; the lists are read under their locks.
    if (pool.total_blocks.load(std::memory_order_relaxed) == 0) return nullptr;
    for (std::uint32_t b = start_bucket; b < HUGE_BUCKETS; ++b) {
        HugeBucket& bucket = pool.buckets[b];
        if (bucket.list_a.stack.count.load(std::memory_order_relaxed) == 0 &&
            bucket.list_b.stack.count.load(std::memory_order_relaxed) == 0) {
            continue;
        }
        SegmentHeader* found = nullptr;
        if (b == start_bucket) {
            if (list_of(length, b) == HugeList::b) {
                found = pop_fitting_from_exact_bucket(bucket, length, HugeList::b);
            } else {
                found = pop_fitting_from_exact_bucket(bucket, length, HugeList::a);
                if (!found) found = pop_fitting_from_exact_bucket(bucket, length, HugeList::b);
            }
        } else {
            // Every mapping of a higher bucket is longer than twice this bucket's base.
            found = pool::pop(bucket.list_a);
            if (!found) found = pool::pop(bucket.list_b);
        }
        if (found) {
            pool.total_blocks.fetch_sub(1, std::memory_order_relaxed);
            pool.total_bytes.fetch_sub(found->shared.large_length, std::memory_order_relaxed);
            return found;
        }
    }
    return nullptr;
}

void purge_retained_segments() {
    for (GlobalSegmentPool& pool : WRAPPER_BACKEND_POOLS.retained) {
        SegmentHeader* segment = detach(pool.guarded);
        while (segment) {
            // Read before unmapping: the link lives in the memory being returned.
            SegmentHeader* next = next_in_chain(*segment);
            if (!alloc::unmap_segment(*segment)) {
                for (SegmentHeader* back = segment; back;) {
                    SegmentHeader* after = next_in_chain(*back);
                    back->shared.pool_link = 0;
                    push(pool.guarded, back);
                    back = after;
                }
                break;
            }
            segment = next;
        }
    }
}

void purge_retained_large_blocks() {
    for (GlobalHugePool& node : WRAPPER_BACKEND_POOLS.huge) {
        for (HugeBucket& bucket : node.buckets) {
            for (GuardedStack* list : {&bucket.list_a, &bucket.list_b}) {
                Detached detached = detach_counted(*list);
                // Relaxed: the totals are statistics and probes (see GlobalHugePool).
                node.total_blocks.fetch_sub(detached.count, std::memory_order_relaxed);
                node.total_bytes.fetch_sub(detached.bytes, std::memory_order_relaxed);
                for (SegmentHeader* block = detached.first; block;) {
                    SegmentHeader* next = next_in_chain(*block);
                    // A failed unmap drops the mapping from the pools: nothing else can be done.
                    (void)MemoryBackendWrapper::deallocate(reinterpret_cast<void*>(block->shared.raw_mapping),
                                                           block->shared.large_length);
                    block = next;
                }
            }
        }
    }
}

void register_fork_handlers_once() {
    // Relaxed: the exchange alone decides which thread registers; nothing else is
    // published through the flag.
    if (fork_handlers_registered.load(std::memory_order_relaxed)) return;
    if (fork_handlers_registered.exchange(true, std::memory_order_relaxed)) return;
    if (pthread_atfork(&lock_all_for_fork, &unlock_all_after_fork, &unlock_all_after_fork) != 0) {
        fork_handlers_registered.store(false, std::memory_order_relaxed);
    }
}

namespace {

// Registered when the library is loaded, before any thread can take a pool lock. Lazily,
// one thread could have claimed the registration while another already held a pool lock
// that a fork in between would not wait for; the child then spins on it for ever.
[[maybe_unused]] const bool fork_handlers_at_load = (register_fork_handlers_once(), true);

}  // namespace

}  // namespace ostrel_arena::segment::pool
