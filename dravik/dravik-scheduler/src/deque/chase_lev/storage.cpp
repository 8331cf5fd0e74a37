#include "dravik_scheduler/deque/chase_lev/storage.hpp"

#include <bit>

#include "kavrel/domain/error/error.hpp"
#include "ostrel_core/fault.hpp"
#include "ostrel_local/alloc.hpp"
#include "ostrel_local/free.hpp"

namespace dravik_scheduler::deque::chase_lev::storage::detail {

void check_capacity(std::uint64_t capacity) {
    if (!std::has_single_bit(capacity)) {
        kavrel::domain::error::fail_invariant("assertion failed: capacity.is_power_of_two()");
    }
    if (capacity >= capacity_limit) {
        kavrel::domain::error::fail_invariant("invariant: deque capacity has a valid allocation layout");
    }
}

void* allocate_slots(std::size_t bytes) {
    void* slots = ostrel_local::alloc::thread_alloc(bytes, slot_alignment);
    if (slots == nullptr) ostrel_core::fault::report_allocation_failure(bytes);
    return slots;
}

void free_slots(void* slots, std::size_t bytes) noexcept { ostrel_local::free::thread_free(slots, bytes, slot_alignment); }

}  // namespace dravik_scheduler::deque::chase_lev::storage::detail
