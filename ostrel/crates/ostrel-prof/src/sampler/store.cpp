#include "ostrel_prof/sampler/store.hpp"

#include <new>

namespace ostrel_prof::sampler::store {

constinit SampleShard ACTIVE_SAMPLES[SAMPLE_SHARDS];

std::optional<stack::StackId> insert_sample(std::uintptr_t address, Sample sample) {
    SampleShard& shard = shard_of(address);
    std::lock_guard<std::mutex> guard(shard.mutex);
    if (shard.map == nullptr) {
        heap::ProfAllocator<SampleMap> allocator;
        shard.map = new (allocator.allocate(1)) SampleMap();
    }
    std::optional<stack::StackId> replaced;
    auto [entry, inserted] = shard.map->try_emplace(address, sample);
    if (!inserted) {
        replaced = entry->second.stack;
        entry->second = sample;
    }
    // Relaxed: written under the shard's mutex; see SampleShard::has_entries.
    shard.has_entries.store(true, std::memory_order_relaxed);
    return replaced;
}

std::optional<Sample> remove_sample(std::uintptr_t address) {
    SampleShard& shard = shard_of(address);
    std::lock_guard<std::mutex> guard(shard.mutex);
    if (shard.map == nullptr) return std::nullopt;
    auto entry = shard.map->find(address);
    if (entry == shard.map->end()) return std::nullopt;
    Sample removed = entry->second;
    shard.map->erase(entry);
    // Relaxed: as in insert_sample.
    if (shard.map->empty()) shard.has_entries.store(false, std::memory_order_relaxed);
    return removed;
}

std::optional<Sample> find_sample(std::uintptr_t address) {
    SampleShard& shard = shard_of(address);
    std::lock_guard<std::mutex> guard(shard.mutex);
    if (shard.map == nullptr) return std::nullopt;
    auto entry = shard.map->find(address);
    if (entry == shard.map->end()) return std::nullopt;
    return entry->second;
}

std::uint64_t sample_count() {
    std::uint64_t count = 0;
    for (SampleShard& shard : ACTIVE_SAMPLES) {
        std::lock_guard<std::mutex> guard(shard.mutex);
        if (shard.map) count += shard.map->size();
    }
    return count;
}

void lock_for_fork() {
    for (SampleShard& shard : ACTIVE_SAMPLES) shard.mutex.lock();
}

void unlock_after_fork() {
    for (SampleShard& shard : ACTIVE_SAMPLES) shard.mutex.unlock();
}

}  // namespace ostrel_prof::sampler::store
