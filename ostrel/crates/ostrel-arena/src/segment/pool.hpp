// The process-wide node pools that hold memory no thread owns: per node (mod 16) a stack
// of retained empty segments, a stack of abandoned segments that still hold blocks of an
// exited thread, and retained large-block mappings in 11 length buckets. Every stack sits
// behind its own spin lock; a thread looks at its own node first and then around the ring.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>

#include "ostrel_core/types/page.hpp"

namespace ostrel_arena::segment::pool {

using ostrel_core::types::page::SegmentHeader;

inline constexpr std::uint32_t NODE_POOLS = 16;
inline constexpr std::uint32_t HUGE_BUCKETS = 11;
// A bucket takes a block while its two lists hold at most this many...
inline constexpr std::uint64_t bucket_block_limit = 1023;
// ...and while the chosen list's bytes stay at most this.
inline constexpr std::uint64_t list_byte_limit = 0x8000000;
// Longest mapping a bucket can hold.
inline constexpr std::uint64_t bucketed_length_limit = 16u << 20;
// Attempts of the bounded lock that thread exit uses.
inline constexpr std::uint32_t bounded_lock_attempts = 64;

// 0 = free, 1 = held. Any thread may take it; it is held only for a few stores.
struct alignas(64) SpinLock {
    std::atomic<std::uint8_t> state;
};
void lock(SpinLock& spin);
void unlock(SpinLock& spin);
// At most `attempts` compare-and-swaps with a pause between them.
bool try_lock_bounded(SpinLock& spin, std::uint32_t attempts);

// A stack of headers linked through their pool link. The head word: low 48 bits the first
// element, high 16 bits a tag that every push and pop advances. Written only under the
// guarding lock; the count is also read without it (retention checks, empty probes).
struct alignas(64) TaggedStack {
    std::atomic<std::uint64_t> head;
    std::atomic<std::uint64_t> count;
    std::atomic<std::uint64_t> bytes;  // large-block lists only: bytes of the listed mappings
};

inline SegmentHeader* stack_top(std::uint64_t head) {
    return reinterpret_cast<SegmentHeader*>(head & ostrel_core::types::page::ADDRESS_MASK);
}
inline std::uint16_t stack_tag(std::uint64_t head) { return static_cast<std::uint16_t>(head >> 48); }

// One lock and the stack it guards, each on its own cache line.
struct GuardedStack {
    SpinLock lock;
    TaggedStack stack;
};

// Each runs under the stack's lock, taking and releasing it itself. An element or link at
// or above 2^48 aborts.
void push(GuardedStack& guarded, SegmentHeader* element);
SegmentHeader* pop(GuardedStack& guarded);
// Detaches the whole stack (head and count to 0; bytes too); returns its first element.
SegmentHeader* detach(GuardedStack& guarded);
// Pushes first..last (already linked through their pool links) as one chain.
void push_chain(GuardedStack& guarded, SegmentHeader* first, SegmentHeader* last, std::uint64_t length,
                std::uint64_t bytes);
// The same with the lock already held by the caller.
void push_chain_locked(GuardedStack& guarded, SegmentHeader* first, SegmentHeader* last, std::uint64_t length,
                       std::uint64_t bytes);

struct GlobalSegmentPool {
    GuardedStack guarded;

    // Pops from the calling thread's home node pool of `pools`, then around the node ring,
    // re-reading the thread's node on every 32nd miss at home.
    static SegmentHeader* pop(std::array<GlobalSegmentPool, NODE_POOLS>& pools);
};

// The two lists of one length bucket: A for mappings of at most 1.5 times the bucket's
// base length, B for the longer ones.
struct HugeBucket {
    GuardedStack list_a;
    GuardedStack list_b;
};
enum class HugeList : std::uint8_t { a, b };

struct GlobalHugePool {
    // Node totals; any thread adds and subtracts (relaxed: statistics and hints, the lists
    // themselves are published through their locks).
    alignas(64) std::atomic<std::uint64_t> total_blocks;
    std::atomic<std::uint64_t> total_bytes;
    HugeBucket buckets[HUGE_BUCKETS];

    // The first retained mapping of node `node` at least `length` long, from bucket
    // `start_bucket` up; nullptr when none.
    static SegmentHeader* pop_from_node(std::uint64_t length, std::uint32_t node, std::uint32_t start_bucket);
    // Pops from the head of one list until a mapping of at least `length` appears; the
    // shorter ones go back in front of the list in the order they were popped.
    static SegmentHeader* pop_fitting_from_exact_bucket(HugeBucket& bucket, std::uint64_t length, HugeList list);
};

// The one pool set of the process: zero-initialised, never destroyed.
struct BackendPools {
    GlobalHugePool huge[NODE_POOLS];
    std::array<GlobalSegmentPool, NODE_POOLS> retained;
    std::array<GlobalSegmentPool, NODE_POOLS> abandoned;
};
extern constinit BackendPools WRAPPER_BACKEND_POOLS;

// GlobalSegmentPool::pop calls of this thread that found the home pool empty, mod 32.
extern constinit thread_local std::uint32_t MISS_COUNT;

// Length buckets ---------------------------------------------------------------------------

// Base length of bucket b: 8 KiB << b.
inline constexpr std::uint64_t bucket_base(std::uint32_t bucket) { return std::uint64_t{0x2000} << bucket; }
// The bucket of a mapping length; none above 16 MiB.
std::optional<std::uint32_t> bucket_of(std::uint64_t length);
inline HugeList list_of(std::uint64_t length, std::uint32_t bucket) {
    return length > bucket_base(bucket) + bucket_base(bucket) / 2 ? HugeList::b : HugeList::a;
}
inline GuardedStack& list_in(HugeBucket& bucket, HugeList list) {
    return list == HugeList::a ? bucket.list_a : bucket.list_b;
}
// The retention rule for a freed mapping of `length` given the bucket's block count and
// the chosen list's bytes.
inline bool bucket_accepts(std::uint64_t bucket_blocks, std::uint64_t list_bytes, std::uint64_t length) {
    return bucket_blocks <= bucket_block_limit && list_bytes <= list_byte_limit && length <= list_byte_limit - list_bytes;
}

// Purges ------------------------------------------------------------------------------------

// Unmaps every retained empty segment of every node. A segment whose unmap fails (or
// whose raw address is 0) goes back onto its pool with all that follow it.
void purge_retained_segments();
// Unmaps every retained large mapping of every node.
void purge_retained_large_blocks();

// Makes a later fork safe for the pools: the forking thread takes every pool lock first,
// so the child never inherits a lock held by a thread it does not have. Registered once,
// when the library is loaded; the calls on first use only retry a failed registration.
void register_fork_handlers_once();

}  // namespace ostrel_arena::segment::pool
