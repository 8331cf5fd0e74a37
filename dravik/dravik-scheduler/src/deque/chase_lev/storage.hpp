// One buffer of a Chase-Lev deque: a power-of-two array of job slots, taken from the
// calling thread's allocator heap, and beside it one guard word (tag) per slot, which
// makes the copy of a whole job into or out of a slot exclusive. A slot that nobody is
// copying holds, in its tag, the position it serves next; during a copy the tag holds that
// position's bitwise complement.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace dravik_scheduler::deque::chase_lev::storage {

// Capacities from 2^56 on have no valid allocation layout for 128-byte slots.
inline constexpr std::uint64_t capacity_limit = std::uint64_t{1} << 56;
inline constexpr std::size_t slot_alignment = 8;

namespace detail {

// Stops with "assertion failed: capacity.is_power_of_two()" or, from capacity_limit on,
// "invariant: deque capacity has a valid allocation layout".
void check_capacity(std::uint64_t capacity);
// Slot memory through the thread allocator; a failed allocation ends the process with the
// allocation-failure report.
void* allocate_slots(std::size_t bytes);
void free_slots(void* slots, std::size_t bytes) noexcept;

}  // namespace detail

template <class T>
struct Array {
    static_assert(std::is_trivially_copyable_v<T> && alignof(T) <= slot_alignment);

    T* slots;                          // capacity records
    std::atomic<std::int64_t>* tags;   // capacity guard words, from the general heap
    std::uint64_t tag_count;           // equals capacity
    std::uint64_t capacity;            // a power of two
    std::uint64_t mask;                // capacity - 1

    // A buffer whose every slot is tagged with the first position >= start that maps to it.
    static Array* create(std::uint64_t capacity, std::int64_t start) {
        detail::check_capacity(capacity);
        // The record first, then the tags: a throwing allocation leaves nothing behind, and
        // a failed slot allocation ends the process.
        auto* array = new Array{nullptr, nullptr, capacity, capacity, capacity - 1};
        try {
            array->tags = new std::atomic<std::int64_t>[capacity];
        } catch (...) {
            delete array;
            throw;
        }
        array->slots = static_cast<T*>(detail::allocate_slots(capacity * sizeof(T)));
        auto offset = static_cast<std::uint64_t>(start) & array->mask;
        std::int64_t base = start - static_cast<std::int64_t>(offset);
        for (std::uint64_t i = 0; i < capacity; ++i) {
            std::int64_t tag = base + static_cast<std::int64_t>(i);
            if (i < offset) tag += static_cast<std::int64_t>(capacity);
            // Relaxed: the buffer is published to thieves by a sequentially consistent store.
            array->tags[i].store(tag, std::memory_order_relaxed);
        }
        return array;
    }

    // Frees the slots and tags; the jobs in it are not touched.
    static void destroy(Array* array) noexcept {
        detail::free_slots(array->slots, array->capacity * sizeof(T));
        delete[] array->tags;
        delete array;
    }

    std::atomic<std::int64_t>& tag_of(std::int64_t position) noexcept {
        return tags[static_cast<std::uint64_t>(position) & mask];
    }
    void write(std::int64_t position, const T& job) noexcept {
        std::memcpy(static_cast<void*>(&slots[static_cast<std::uint64_t>(position) & mask]), &job, sizeof(T));
    }
    T read(std::int64_t position) const noexcept {
        T job;
        std::memcpy(static_cast<void*>(&job), &slots[static_cast<std::uint64_t>(position) & mask], sizeof(T));
        return job;
    }
};

}  // namespace dravik_scheduler::deque::chase_lev::storage
