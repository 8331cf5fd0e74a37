// The array operations' way onto the global executor: a range of work units, or a float32
// output run, cut into tasks of about 64 KiB of memory traffic, each handed once to a callback
// that may run on several threads at once (each call on a disjoint range). A range that makes
// one task runs on the calling thread without building the executor. A failure inside a task
// stops the call, after every admitted task has ended, with the executor front end's internal
// error ("dravik global executor: <front end>: SpawnFailed(Panicked)").
#pragma once

#include <cstdint>
#include <span>
#include <type_traits>

namespace kavrel_ops::infrastructure::parallel {

// A borrowed callable (first unit, unit count); the callable outlives the call it is passed to.
class UnitRangeFn {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, UnitRangeFn> &&
                 std::is_invocable_v<const F&, std::uint64_t, std::uint64_t>)
    UnitRangeFn(const F& f) noexcept  // NOLINT: implicit by design, like a function reference
        : object_(&f), call_([](const void* o, std::uint64_t first, std::uint64_t count) {
              (*static_cast<const F*>(o))(first, count);
          }) {}
    void operator()(std::uint64_t first, std::uint64_t count) const { call_(object_, first, count); }

private:
    const void* object_;
    void (*call_)(const void*, std::uint64_t, std::uint64_t);
};

// A borrowed callable (first element, output shard); the same lifetime rule.
class RunShardFn {
public:
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, RunShardFn> &&
                 std::is_invocable_v<const F&, std::uint64_t, std::span<float>>)
    RunShardFn(const F& f) noexcept  // NOLINT: implicit by design
        : object_(&f), call_([](const void* o, std::uint64_t first, std::span<float> shard) {
              (*static_cast<const F*>(o))(first, shard);
          }) {}
    void operator()(std::uint64_t first, std::span<float> shard) const { call_(object_, first, shard); }

private:
    const void* object_;
    void (*call_)(const void*, std::uint64_t, std::span<float>);
};

// Bytes of traffic one task is sized for.
inline constexpr std::uint64_t task_bytes = 65536;

// Units per task for a unit cost in bytes: 65536 / max(cost, 1) up to a cost of 65536, else 1.
[[nodiscard]] std::uint64_t unit_grain(std::uint64_t cost_per_unit) noexcept;

// callback(first, count) over [0, units) in tasks of unit_grain(cost_per_unit) units, the last
// one shorter; returns when every unit has been handed over exactly once. No units: no call.
// One task: one call (0, units) on the calling thread, a failure passing through unchanged.
// More: the tasks go to the global executor (built on first use), the caller taking part.
void schedule_unit_ranges(std::uint64_t units, std::uint64_t cost_per_unit, UnitRangeFn callback);

// Elements per output shard: 65536 bytes of traffic at 12 bytes per element (a binary map's
// two float32 inputs and one float32 output).
inline constexpr std::uint64_t shard_elements = 5461;

// callback(first element, out[first, first + length)) for shards of shard_elements elements
// (the last one shorter); one shard runs on the calling thread, more go to the global executor.
// Requires: the callback writes only its own shard.
void schedule_unit_runs_mut(std::span<float> out, RunShardFn callback);

}  // namespace kavrel_ops::infrastructure::parallel
