// The live samples: for every recorded block that has not been freed, its requested size
// and its interned stack, in 64 shards keyed by block address ((address / 64) mod 64).
// The records are kept only; nothing in the system reads them back.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "ostrel_prof/hash.hpp"
#include "ostrel_prof/heap.hpp"
#include "ostrel_prof/stack.hpp"

namespace ostrel_prof::sampler::store {

inline constexpr std::uint32_t SAMPLE_SHARDS = 64;

struct Sample {
    std::uint64_t size;  // as requested
    stack::StackId stack;
};

using SampleMap = std::unordered_map<std::uintptr_t, Sample, hash::FastBuildHasher, std::equal_to<std::uintptr_t>,
                                     heap::ProfAllocator<std::pair<const std::uintptr_t, Sample>>>;

struct alignas(64) SampleShard {
    std::mutex mutex;
    SampleMap* map;  // created on first insert, never freed; under mutex
    // Set under mutex when an entry is inserted, cleared under it when the last goes; read
    // without it by the free front end. Relaxed: a block's own sample was inserted before
    // the block could reach the freeing thread, and the flag cannot clear while it lives.
    std::atomic<bool> has_entries;
};
extern constinit SampleShard ACTIVE_SAMPLES[SAMPLE_SHARDS];

inline SampleShard& shard_of(std::uintptr_t address) { return ACTIVE_SAMPLES[(address / 64) % SAMPLE_SHARDS]; }

// Inserts or replaces; returns the stack of a replaced sample (to be released by the caller
// after this returns, outside the shard lock).
std::optional<stack::StackId> insert_sample(std::uintptr_t address, Sample sample);
// Removes and returns the address's sample.
std::optional<Sample> remove_sample(std::uintptr_t address);
std::optional<Sample> find_sample(std::uintptr_t address);
// Live samples over all shards.
std::uint64_t sample_count();

void lock_for_fork();
void unlock_after_fork();

}  // namespace ostrel_prof::sampler::store
