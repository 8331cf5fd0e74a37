#include "ostrel_arena/arena.hpp"

#include <algorithm>
#include <limits>
#include <optional>

#include "garvon/query/cache.hpp"
#include "ostrel_arena/segment/pool.hpp"
#include "ostrel_backend/backends/backends.hpp"
#include "ostrel_core/fault.hpp"
#include "ostrel_core/types/page.hpp"

namespace ostrel_arena::arena {

using ostrel_backend::backends::MemoryBackendWrapper;
using ostrel_core::fault::abort_corrupted;
using ostrel_core::types::page::PAGE_BYTES;
using ostrel_core::types::page::SEGMENT_BYTES;
using ostrel_core::types::page::SegmentHeader;
namespace pool = ostrel_arena::segment::pool;

namespace {

constexpr std::uint64_t size_limit = std::uint64_t{1} << 63;
constexpr std::uintptr_t address_end = std::numeric_limits<std::uintptr_t>::max();
constexpr std::size_t max_alignment = SEGMENT_BYTES;

bool is_power_of_two(std::size_t value) { return value != 0 && (value & (value - 1)) == 0; }

void unmap(std::uintptr_t raw, std::uint64_t length) {
    if (raw != 0) (void)MemoryBackendWrapper::deallocate(reinterpret_cast<void*>(raw), length);
}

SegmentHeader* pop_retained(std::uint64_t length, std::uint32_t node) {
    // Only mappings of at most 16 MiB are retained, so none can serve a longer one; scanning
    // the last bucket would pop and push back every mapping in it for nothing.
    std::optional<std::uint32_t> bucket = pool::bucket_of(length);
    if (!bucket) return nullptr;
    const std::uint32_t start = *bucket;
    std::uint32_t home = node % pool::NODE_POOLS;
    for (std::uint32_t k = 0; k < pool::NODE_POOLS; ++k) {
        std::uint32_t n = (home + k) % pool::NODE_POOLS;
        if (SegmentHeader* header = pool::GlobalHugePool::pop_from_node(length, n, start)) return header;
    }
    return nullptr;
}

SegmentHeader* map_large(std::uint64_t length, std::uint32_t node) {
    pool::register_fork_handlers_once();
    void* mapping = MemoryBackendWrapper::allocate(length);
    if (mapping == nullptr) return nullptr;
    auto raw = reinterpret_cast<std::uintptr_t>(mapping);
    if (raw > address_end - SEGMENT_BYTES + 1) {
        unmap(raw, length);
        return nullptr;
    }
    auto* header = reinterpret_cast<SegmentHeader*>((raw + SEGMENT_BYTES - 1) & ~(SEGMENT_BYTES - 1));
    ostrel_core::types::page::reset_header(*header, raw, node);
    header->shared.large_length = length;
    return header;
}

}  // namespace

std::optional<std::uint64_t> large_mapping_length(std::size_t size, std::size_t alignment) {
    std::uint64_t length = std::uint64_t{size} + std::max<std::uint64_t>(alignment, PAGE_BYTES) + SEGMENT_BYTES;
    if (size >= size_limit || alignment > max_alignment || length >= size_limit) return std::nullopt;
    return length;
}

void* allocate_large_or_huge(std::size_t size, std::size_t alignment) {
    if (size == 0 || !is_power_of_two(alignment)) return nullptr;
    std::optional<std::uint64_t> wanted = large_mapping_length(size, alignment);
    if (!wanted) return nullptr;
    std::uint32_t node = garvon::query::cache::cached_node();
    SegmentHeader* header = pop_retained(*wanted, node);
    if (header == nullptr) header = map_large(*wanted, node);
    if (header == nullptr) return nullptr;

    // A reused mapping keeps its own length and node.
    std::uintptr_t raw = header->shared.raw_mapping;
    std::uint64_t length = header->shared.large_length;
    auto base = reinterpret_cast<std::uintptr_t>(header);
    bool broken = raw > address_end - SEGMENT_BYTES + 1 || length > address_end - raw ||
                  base > address_end - PAGE_BYTES - alignment;
    std::uintptr_t block = 0;
    if (!broken) {
        block = (base + PAGE_BYTES + alignment - 1) & ~(std::uintptr_t{alignment} - 1);
        broken = size > address_end - block || block + size > address_end - PAGE_BYTES + 1 ||
                 block + size > raw + length;
    }
    if (broken) {
        unmap(raw, length);
        return nullptr;
    }
    *reinterpret_cast<std::uintptr_t*>(block - sizeof(std::uintptr_t)) = base;
    return reinterpret_cast<void*>(block);
}

void deallocate_large_or_huge(void* block) {
    std::uintptr_t base = *reinterpret_cast<const std::uintptr_t*>(reinterpret_cast<std::uintptr_t>(block) -
                                                                   sizeof(std::uintptr_t));
    if (base == 0 || base % SEGMENT_BYTES != 0) abort_corrupted();
    auto* header = reinterpret_cast<SegmentHeader*>(base);
    std::uintptr_t raw = header->shared.raw_mapping;
    if (raw == 0 || raw > base || base - raw >= SEGMENT_BYTES) abort_corrupted();
    std::uint64_t length = header->shared.large_length;
    // A plain segment's header never sits before a user block: the pointer is not one this
    // allocator handed out, and filing the segment would hand live memory to others.
    if (length == 0) abort_corrupted();

    if (std::optional<std::uint32_t> bucket_index = pool::bucket_of(length)) {
        pool::GlobalHugePool& node = pool::WRAPPER_BACKEND_POOLS.huge[header->shared.node % pool::NODE_POOLS];
        pool::HugeBucket& bucket = node.buckets[*bucket_index];
        pool::GuardedStack& list = pool::list_in(bucket, pool::list_of(length, *bucket_index));
        // Relaxed: the limits are checked before the lock and hold only approximately.
        std::uint64_t held = bucket.list_a.stack.count.load(std::memory_order_relaxed) +
                             bucket.list_b.stack.count.load(std::memory_order_relaxed);
        if (pool::bucket_accepts(held, list.stack.bytes.load(std::memory_order_relaxed), length)) {
            // The totals rise before the push and fall only after a pop or a detach, so
            // they never drop below what the lists hold.
            node.total_blocks.fetch_add(1, std::memory_order_relaxed);
            node.total_bytes.fetch_add(length, std::memory_order_relaxed);
            pool::push(list, header);
            return;
        }
    }
    unmap(raw, length);
}

}  // namespace ostrel_arena::arena
