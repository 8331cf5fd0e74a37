// The unit-range front end: `units` work units of about `cost` bytes each, cut into tasks
// of about 64 KiB, each handed once to cb(context, first unit, unit count). One task runs
// directly on the calling thread; more go through the global executor, and a failure then
// stops the call with "dravik global executor: for_each_unit_task_range_with: " and the
// error's debug form.
#pragma once

#include <cstdint>

#include "dravik_parallel/ops.hpp"

namespace dravik_parallel::ops::unit_tasks::range {

inline constexpr std::uint64_t task_bytes = 65536;

// Units per task: 65536 / max(cost, 1) for a cost up to 65536, else 1.
constexpr std::uint64_t task_grain(std::uint64_t cost) noexcept {
    return cost <= task_bytes ? task_bytes / (cost == 0 ? 1 : cost) : 1;
}

// The callback is called concurrently, each time on a disjoint unit range.
template <class Context, class Cb>
void for_each_unit_task_range_with(std::uint64_t units, std::uint64_t cost, Context& context, Cb&& cb) {
    if (units == 0) return;
    const std::uint64_t grain = task_grain(cost);
    const std::uint64_t tasks = units / grain + (units % grain != 0 ? 1 : 0);
    if (tasks == 1) {
        cb(context, std::uint64_t{0}, units);
        return;
    }
    auto work = [&](std::uint64_t start, std::uint64_t end) {
        for (std::uint64_t t = start; t < end; ++t) {
            std::uint64_t first = t * grain;
            std::uint64_t count = units - first < grain ? units - first : grain;
            cb(context, first, count);
        }
    };
    detail::run_indexed("dravik global executor: for_each_unit_task_range_with", tasks, work);
}

}  // namespace dravik_parallel::ops::unit_tasks::range
