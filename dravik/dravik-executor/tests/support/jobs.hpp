// Jobs for the executor tests: each carries an id, and its execute and drop entries count
// per id how it left the executor.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "dravik_executor/schedule/job.hpp"

namespace dravik_executor_testing {

using dravik_executor::schedule::job::ScheduledJob;

inline constexpr std::size_t max_ids = 4096;

struct JobCounts {
    std::array<std::atomic<int>, max_ids> executed{};
    std::array<std::atomic<int>, max_ids> dropped{};

    void reset() {
        for (auto& c : executed) c.store(0);
        for (auto& c : dropped) c.store(0);
    }
};

inline JobCounts& counts() {
    static JobCounts instance;
    return instance;
}

struct IdPayload {
    std::uint64_t id;
};

inline bool execute_counted(void* payload) {
    counts().executed[dravik_executor::schedule::job::read_payload<IdPayload>(payload).id].fetch_add(1);
    return true;
}
inline void drop_counted(void* payload) noexcept {
    counts().dropped[dravik_executor::schedule::job::read_payload<IdPayload>(payload).id].fetch_add(1);
}

inline ScheduledJob counted_job(std::uint64_t id) {
    return ScheduledJob::from_payload(IdPayload{id}, &execute_counted, &drop_counted);
}
inline std::uint64_t id_of(const ScheduledJob& job) {
    return dravik_executor::schedule::job::read_payload<IdPayload>(job.payload).id;
}

// A job that calls `(*f)()` and returns its result; its drop entry counts in `drops`.
template <class F>
struct CallPayload {
    F* f;
    std::atomic<int>* drops;
};

template <class F>
ScheduledJob call_job(F& f, std::atomic<int>* drops = nullptr) {
    using Payload = CallPayload<F>;
    return ScheduledJob::from_payload(
        Payload{&f, drops},
        [](void* payload) -> bool { return (*dravik_executor::schedule::job::read_payload<Payload>(payload).f)(); },
        [](void* payload) noexcept {
            if (auto* drops = dravik_executor::schedule::job::read_payload<Payload>(payload).drops) drops->fetch_add(1);
        });
}

}  // namespace dravik_executor_testing
