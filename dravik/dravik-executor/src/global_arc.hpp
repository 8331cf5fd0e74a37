// The process-wide executor, built by the first caller that needs it with one worker per
// logical processor and never torn down. A failed build leaves it unbuilt and the next
// caller tries again. A process forked after it was built starts unbuilt in the child (the
// parent's pool, whose threads the child does not have, is left unreachable) and builds
// its own there on first use.
#pragma once

#include <atomic>
#include <cstdint>

#include "dravik_executor/hybrid.hpp"
#include "dravik_utils/sync/futex.hpp"

namespace dravik_executor::global_arc {

class GlobalExecutor {
public:
    constexpr GlobalExecutor() noexcept = default;
    GlobalExecutor(const GlobalExecutor&) = delete;
    GlobalExecutor& operator=(const GlobalExecutor&) = delete;

    // The executor, built on first use; concurrent first callers wait for the one that
    // builds. A failed build stops with the internal error "initialize global Dravik
    // executor: " and the error's debug form.
    const hybrid::HybridExecutor& get();
    const hybrid::HybridExecutor* operator->() { return &get(); }
    const hybrid::HybridExecutor& operator*() { return get(); }

    // The executor if it is built, without building it.
    const hybrid::HybridExecutor* if_built() const noexcept;

    // The forked child's fresh start; see the file comment.
    void forget_in_child() noexcept;

private:
    const hybrid::HybridExecutor& build();

    std::atomic<const hybrid::HybridExecutor*> executor_{nullptr};  // never freed
    dravik_utils::sync::futex::WordLock build_lock_;
};

extern constinit GlobalExecutor GLOBAL_EXECUTOR;

// The worker count of the global executor: the topology's logical processor count, at
// least 1.
std::uint64_t global_worker_count();

}  // namespace dravik_executor::global_arc
