// The allocator of the profiler's own tables: the general-purpose heap, never ostrel, and a
// failure there ends the process like any failed allocation of the system.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <limits>

#include "ostrel_core/fault.hpp"

namespace ostrel_prof::heap {

template <class T>
struct ProfAllocator {
    using value_type = T;

    ProfAllocator() = default;
    template <class U>
    ProfAllocator(const ProfAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) {
            ostrel_core::fault::report_allocation_failure(std::numeric_limits<std::size_t>::max());
        }
        void* memory = std::malloc(n * sizeof(T));
        if (memory == nullptr) ostrel_core::fault::report_allocation_failure(n * sizeof(T));
        return static_cast<T*>(memory);
    }
    void deallocate(T* p, std::size_t) noexcept { std::free(p); }

    template <class U>
    bool operator==(const ProfAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace ostrel_prof::heap
