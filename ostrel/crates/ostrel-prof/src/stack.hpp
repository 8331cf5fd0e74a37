// Stacks of sampled allocations: the walk that records up to 32 return addresses of the
// calling thread, and the interner that keeps each distinct address sequence once, in 64
// sharded tables with reference counts, under a 32-bit StackId (shard in bits 26 to 31,
// slot index in bits 0 to 25).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "ostrel_prof/hash.hpp"
#include "ostrel_prof/heap.hpp"

namespace ostrel_prof::stack {

using StackId = std::uint32_t;

inline constexpr std::uint32_t MAX_FRAMES = 32;
inline constexpr std::uint32_t INTERNER_SHARDS = 64;
inline constexpr std::uint32_t SHARD_SHIFT = 26;
inline constexpr std::uint32_t INDEX_MASK = (std::uint32_t{1} << SHARD_SHIFT) - 1;

using Frames = std::vector<std::uintptr_t, heap::ProfAllocator<std::uintptr_t>>;
using SharedFrames = std::shared_ptr<const Frames>;

struct StackEntry {
    SharedFrames frames;  // shared, immutable
    std::uint64_t references;
};

// Hash and equality over shared sequences that also accept a plain span, so that a lookup
// needs no copy.
struct FramesHash {
    using is_transparent = void;
    std::size_t operator()(const SharedFrames& frames) const { return hash::FastBuildHasher{}(std::span(*frames)); }
    std::size_t operator()(std::span<const std::uintptr_t> frames) const { return hash::FastBuildHasher{}(frames); }
};
struct FramesEqual {
    using is_transparent = void;
    static std::span<const std::uintptr_t> view(const SharedFrames& frames) { return std::span(*frames); }
    static std::span<const std::uintptr_t> view(std::span<const std::uintptr_t> frames) { return frames; }
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
        auto x = view(a);
        auto y = view(b);
        return x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin());
    }
};

struct StackInternerShard {
    std::unordered_map<SharedFrames, StackId, FramesHash, FramesEqual,
                       heap::ProfAllocator<std::pair<const SharedFrames, StackId>>>
        map;
    std::vector<std::optional<StackEntry>, heap::ProfAllocator<std::optional<StackEntry>>> slots;
    std::vector<std::uint32_t, heap::ProfAllocator<std::uint32_t>> free_slots;
};

// One mutex per shard; the shard itself is created under it on first use and never freed.
struct alignas(64) InternerCell {
    std::mutex mutex;
    StackInternerShard* shard;  // written and read under mutex
};
extern constinit InternerCell STACK_INTERNER[INTERNER_SHARDS];

// Walks the calling thread's stack from this function outwards (one process-wide lock
// around the walk), skipping null return addresses; returns how many it stored in `out`.
std::uint32_t capture_stack_frames(std::span<std::uintptr_t, MAX_FRAMES> out);

// The id of the sequence, with one more reference to it.
StackId intern_stack(std::span<const std::uintptr_t> frames);
// Drops one reference; the last frees the slot for reuse.
void release_stack(StackId id);

inline std::uint32_t shard_of_frames(std::span<const std::uintptr_t> frames) {
    return static_cast<std::uint32_t>(hash::hash_addresses(frames) % INTERNER_SHARDS);
}
inline StackId make_stack_id(std::uint32_t shard, std::uint32_t index) { return (shard << SHARD_SHIFT) | index; }
// Whether a slot index fits the 26 bits an id has for it.
inline bool slot_index_fits(std::uint64_t index) { return index <= INDEX_MASK; }

// Locks taken by a fork: the walk lock and every shard mutex.
void lock_for_fork();
void unlock_after_fork();

namespace detail {

// For tests: the reference count of a live entry, none when its slot is empty.
std::optional<std::uint64_t> references_of(StackId id);
// For tests: sets the reference count of a live entry.
void set_references(StackId id, std::uint64_t references);

}  // namespace detail

}  // namespace ostrel_prof::stack
