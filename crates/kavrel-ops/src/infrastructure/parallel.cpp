#include "kavrel_ops/infrastructure/parallel.hpp"

#include "dravik_parallel/ops/unit_tasks/range.hpp"
#include "dravik_parallel/ops/unit_tasks/single.hpp"

namespace kavrel_ops::infrastructure::parallel {

namespace range = dravik_parallel::ops::unit_tasks::range;
namespace single = dravik_parallel::ops::unit_tasks::single;

static_assert(task_bytes == range::task_bytes);
static_assert(shard_elements == single::shard_elements && shard_elements == task_bytes / 12);

std::uint64_t unit_grain(std::uint64_t cost_per_unit) noexcept { return range::task_grain(cost_per_unit); }

void schedule_unit_ranges(std::uint64_t units, std::uint64_t cost_per_unit, UnitRangeFn callback) {
    range::for_each_unit_task_range_with(units, cost_per_unit, callback,
                                         [](const UnitRangeFn& cb, std::uint64_t first, std::uint64_t count) {
                                             cb(first, count);
                                         });
}

void schedule_unit_runs_mut(std::span<float> out, RunShardFn callback) {
    single::for_each_unit_task_mut_with(
        out.data(), out.size(), callback,
        [](const RunShardFn& cb, std::uint64_t first, float* shard, std::uint64_t length) {
            cb(first, std::span<float>(shard, static_cast<std::size_t>(length)));
        });
}

}  // namespace kavrel_ops::infrastructure::parallel
