// The thread-local slot that holds a thread's allocator and its registration, the cached
// pointer every front end tests first, and the thread-exit handling that hands the
// thread's segments back: empty ones to the retained pools (or the system), ones with
// live blocks to the abandoned pools for other threads to adopt.
#pragma once

#include <cstdint>

#include "ostrel_local/local_alloc.hpp"

namespace ostrel_local::tls_slot {

using local_alloc::ThreadAllocator;

enum class SlotState : std::uint8_t { unregistered, registered, destroyed };

struct LocalAllocatorSlot {
    ThreadAllocator allocator;
    SlotState state;
};

// Both zero at thread start and trivially destructible; the exit handler is a pthread key
// destructor, which runs after the thread's C++ thread_local destructors, so their frees
// still find the allocator. Default TLS model: the module is loaded with dlopen.
extern constinit thread_local LocalAllocatorSlot ALLOCATOR_SLOT;
// The slot's allocator once registered; none before and again after thread exit.
extern constinit thread_local ThreadAllocator* CACHED_SLOT_PTR;

// Registers the calling thread's slot and its exit handler and caches its allocator.
// nullptr when the thread's slot was already destroyed (an allocation from a later exit
// handler) or the exit handler cannot be registered: such a thread gets no heap, since
// nothing would hand its segments back.
ThreadAllocator* register_slot();

// The thread-exit handling, also run directly by tests on the calling thread's slot.
void release_slot(LocalAllocatorSlot& slot);

namespace detail {

// Test seam: runs on a thread that has just created the exit-handler key, before the key
// is published to other threads.
void set_key_created_hook(void (*hook)());

}  // namespace detail

}  // namespace ostrel_local::tls_slot
