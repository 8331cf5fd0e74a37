// The executor's job record: 128 bytes, a 112-byte inline payload and two entries, one
// that runs the job and one that discards it unrun. Records are copied by value into the
// workers' rings and deques; nothing is allocated per job. A job leaves the executor
// exactly once, through its execute entry or through its drop entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace dravik_executor::schedule::job {

// Selects the plane a job lands in; plane 3 is taken first. Carried as a byte: a value
// above 3 is a broken invariant where a job is placed.
enum class Priority : std::uint8_t { low = 0, normal = 1, high = 2, critical = 3 };
inline constexpr std::size_t plane_count = 4;

inline constexpr std::size_t payload_bytes = 112;

struct ScheduledJob {
    // Runs the job; false when it failed. The payload pointer is the record's own.
    using ExecuteFn = bool (*)(void* payload);
    // Releases what the payload refers to without running it.
    using DropFn = void (*)(void* payload) noexcept;

    alignas(8) std::byte payload[payload_bytes];
    ExecuteFn execute_entry;
    DropFn drop_entry;

    template <class P>
    static ScheduledJob from_payload(const P& payload, ExecuteFn execute, DropFn drop) noexcept {
        static_assert(std::is_trivially_copyable_v<P> && sizeof(P) <= payload_bytes && alignof(P) <= 8,
                      "a job payload is a trivially copyable record of at most 112 bytes");
        ScheduledJob job{};
        std::memcpy(job.payload, &payload, sizeof(P));
        job.execute_entry = execute;
        job.drop_entry = drop;
        return job;
    }

    bool execute() { return execute_entry(payload); }
    void discard() noexcept { drop_entry(payload); }
};
static_assert(sizeof(ScheduledJob) == 128);
static_assert(std::is_trivially_copyable_v<ScheduledJob>);

// Reads a payload that from_payload stored.
template <class P>
P read_payload(const void* payload) noexcept {
    P value;
    std::memcpy(static_cast<void*>(&value), payload, sizeof(P));
    return value;
}

// The drop entry of a job that has started: it can no longer be discarded.
void drop_consumed(void* payload) noexcept;

// An admission-ring entry.
struct PrioritizedJob {
    Priority priority;
    ScheduledJob job;

    void discard() noexcept { job.discard(); }
};

}  // namespace dravik_executor::schedule::job
