// The shard front end of the element-wise maps: a float32 buffer cut into shards of 5461
// elements (about 64 KiB of traffic at 12 bytes per element), each handed once to
// cb(context, first element, shard pointer, shard length). One shard runs directly on the
// calling thread; more go through the global executor, and a failure then stops the call
// with "dravik global executor: for_each_unit_task_mut_with: " and the error's debug form.
#pragma once

#include <cstdint>

#include "dravik_parallel/ops.hpp"

namespace dravik_parallel::ops::unit_tasks::single {

inline constexpr std::uint64_t shard_elements = 5461;

// The shards of one buffer: shard s covers [shard_elements x s, min(that + shard_elements,
// length)).
struct UnitSingleShards {
    float* data;
    std::uint64_t length;
    std::uint64_t shards;

    static UnitSingleShards of(float* data, std::uint64_t length) noexcept {
        return {data, length, length / shard_elements + (length % shard_elements != 0 ? 1 : 0)};
    }
    std::uint64_t first_element(std::uint64_t shard) const noexcept { return shard * shard_elements; }
    std::uint64_t shard_length(std::uint64_t shard) const noexcept {
        std::uint64_t first = first_element(shard);
        return length - first < shard_elements ? length - first : shard_elements;
    }
};

// Feeds the shards to the executor's core, one callback call per shard.
template <class Context, class Cb>
void drive_unit_tasks(const UnitSingleShards& shards, Context& context, Cb& cb) {
    auto work = [&](std::uint64_t start, std::uint64_t end) {
        for (std::uint64_t s = start; s < end; ++s) {
            std::uint64_t first = shards.first_element(s);
            cb(context, first, shards.data + first, shards.shard_length(s));
        }
    };
    detail::run_indexed("dravik global executor: for_each_unit_task_mut_with", shards.shards, work);
}

// Requires: data points at `length` writable elements (any pointer for length 0). The
// callback writes only its own shard and is called concurrently.
template <class Context, class Cb>
void for_each_unit_task_mut_with(float* data, std::uint64_t length, Context& context, Cb&& cb) {
    if (length == 0) return;
    UnitSingleShards shards = UnitSingleShards::of(data, length);
    if (shards.shards == 1) {
        cb(context, std::uint64_t{0}, data, length);
        return;
    }
    drive_unit_tasks(shards, context, cb);
}

}  // namespace dravik_parallel::ops::unit_tasks::single
