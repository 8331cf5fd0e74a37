#include "ostrel_prof/stack.hpp"

#include <unwind.h>

#include <algorithm>
#include <limits>
#include <new>

#include "kavrel/domain/error/error.hpp"

namespace ostrel_prof::stack {

using kavrel::domain::error::fail_invariant;

constinit InternerCell STACK_INTERNER[INTERNER_SHARDS];

namespace {

constinit std::mutex walk_lock;

struct Walk {
    std::uintptr_t* out;
    std::uint32_t stored;
};

_Unwind_Reason_Code record_frame(_Unwind_Context* context, void* argument) {
    auto* walk = static_cast<Walk*>(argument);
    auto ip = static_cast<std::uintptr_t>(_Unwind_GetIP(context));
    if (ip == 0) return _URC_NO_REASON;
    walk->out[walk->stored++] = ip;
    return walk->stored == MAX_FRAMES ? _URC_END_OF_STACK : _URC_NO_REASON;
}

StackInternerShard& shard_in(InternerCell& cell) {
    if (cell.shard == nullptr) {
        heap::ProfAllocator<StackInternerShard> allocator;
        cell.shard = new (allocator.allocate(1)) StackInternerShard();
    }
    return *cell.shard;
}

// One more reference to the live entry the map names.
StackId add_reference(StackInternerShard& shard, StackId id) {
    std::optional<StackEntry>& slot = shard.slots[id & INDEX_MASK];
    if (!slot) fail_invariant("invariant: stack interner forward map points at a live entry");
    if (slot->references == std::numeric_limits<std::uint64_t>::max()) {
        fail_invariant("invariant: stack interner reference count overflow");
    }
    ++slot->references;
    return id;
}

std::optional<StackEntry>* live_slot(StackId id) {
    InternerCell& cell = STACK_INTERNER[id >> SHARD_SHIFT];
    if (cell.shard == nullptr) return nullptr;
    std::uint32_t index = id & INDEX_MASK;
    if (index >= cell.shard->slots.size() || !cell.shard->slots[index]) return nullptr;
    return &cell.shard->slots[index];
}

}  // namespace

std::uint32_t capture_stack_frames(std::span<std::uintptr_t, MAX_FRAMES> out) {
    Walk walk{out.data(), 0};
    std::lock_guard<std::mutex> guard(walk_lock);
    _Unwind_Backtrace(&record_frame, &walk);
    return walk.stored;
}

StackId intern_stack(std::span<const std::uintptr_t> frames) {
    std::uint32_t shard_index = shard_of_frames(frames);
    InternerCell& cell = STACK_INTERNER[shard_index];
    {
        std::lock_guard<std::mutex> guard(cell.mutex);
        StackInternerShard& shard = shard_in(cell);
        if (auto found = shard.map.find(frames); found != shard.map.end()) return add_reference(shard, found->second);
    }
    // Copied outside the lock; declared before the second guard so that a copy that turns
    // out unneeded is dropped after unlocking.
    SharedFrames copy = std::allocate_shared<const Frames>(heap::ProfAllocator<Frames>(), frames.begin(), frames.end());
    std::lock_guard<std::mutex> guard(cell.mutex);
    StackInternerShard& shard = shard_in(cell);
    if (auto found = shard.map.find(frames); found != shard.map.end()) return add_reference(shard, found->second);
    std::uint64_t index;
    if (!shard.free_slots.empty()) {
        index = shard.free_slots.back();
        shard.free_slots.pop_back();
    } else {
        index = shard.slots.size();
        if (!slot_index_fits(index)) fail_invariant("invariant: stack interner shard id count exceeds its bit budget");
        shard.slots.emplace_back();
    }
    StackId id = make_stack_id(shard_index, static_cast<std::uint32_t>(index));
    shard.slots[index] = StackEntry{copy, 1};
    shard.map.emplace(std::move(copy), id);
    return id;
}

void release_stack(StackId id) {
    InternerCell& cell = STACK_INTERNER[id >> SHARD_SHIFT];
    std::lock_guard<std::mutex> guard(cell.mutex);
    std::optional<StackEntry>* slot = live_slot(id);
    if (slot == nullptr) return;
    if ((*slot)->references >= 2) {
        --(*slot)->references;
        return;
    }
    SharedFrames frames = std::move((*slot)->frames);
    slot->reset();
    StackInternerShard& shard = *cell.shard;
    auto found = shard.map.find(std::span<const std::uintptr_t>(*frames));
    if (found == shard.map.end()) fail_invariant("invariant: live stack entry must have a forward-map key");
    if (found->second != id) fail_invariant("invariant: stack interner forward map points at a different id");
    shard.map.erase(found);
    shard.free_slots.push_back(id & INDEX_MASK);
}

void lock_for_fork() {
    walk_lock.lock();
    for (InternerCell& cell : STACK_INTERNER) cell.mutex.lock();
}

void unlock_after_fork() {
    for (InternerCell& cell : STACK_INTERNER) cell.mutex.unlock();
    walk_lock.unlock();
}

namespace detail {

std::optional<std::uint64_t> references_of(StackId id) {
    std::lock_guard<std::mutex> guard(STACK_INTERNER[id >> SHARD_SHIFT].mutex);
    std::optional<StackEntry>* slot = live_slot(id);
    if (slot == nullptr) return std::nullopt;
    return (*slot)->references;
}

void set_references(StackId id, std::uint64_t references) {
    std::lock_guard<std::mutex> guard(STACK_INTERNER[id >> SHARD_SHIFT].mutex);
    if (std::optional<StackEntry>* slot = live_slot(id)) (*slot)->references = references;
}

}  // namespace detail

}  // namespace ostrel_prof::stack
