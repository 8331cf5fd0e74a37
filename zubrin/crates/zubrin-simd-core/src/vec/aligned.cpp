#include "zubrin_simd_core/vec/aligned.hpp"

#include <atomic>
#include <limits>

#include "kavrel/domain/checked/arithmetic.hpp"
#include "kavrel/domain/error/error.hpp"
#include "ostrel_core/fault.hpp"
#include "ostrel_local/alloc.hpp"
#include "ostrel_local/free.hpp"

namespace zubrin_simd_core::vec::aligned::detail {

namespace {

// Relaxed: tests set the hooks before any buffer of theirs exists and clear them after.
constinit std::atomic<const AllocationHooks*> active_hooks{nullptr};

}  // namespace

std::size_t checked_storage_bytes(std::uint64_t capacity, std::size_t element_bytes, std::size_t alignment) {
    static_assert(sizeof(std::size_t) == sizeof(std::uint64_t));
    const std::size_t bytes =
        kavrel::domain::checked::expect(kavrel::domain::checked::mul<std::size_t>(capacity, element_bytes), "Capacity overflow");
    // The largest size whose rounding up to the alignment still fits a signed 64-bit count.
    constexpr std::size_t max_signed = static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
    if (bytes > max_signed - (alignment - 1)) {
        kavrel::domain::error::fail_invariant("align is power-of-2, size validated by checked_mul");
    }
    return bytes;
}

void* allocate_storage(std::size_t bytes, std::size_t alignment) {
    const AllocationHooks* hooks = active_hooks.load(std::memory_order_relaxed);
    void* storage = hooks ? hooks->allocate(bytes, alignment) : ostrel_local::alloc::thread_alloc(bytes, alignment);
    if (storage == nullptr) ostrel_core::fault::report_allocation_failure(bytes);
    return storage;
}

void free_storage(void* storage, std::size_t bytes, std::size_t alignment) noexcept {
    const AllocationHooks* hooks = active_hooks.load(std::memory_order_relaxed);
    if (hooks) {
        hooks->free(storage, bytes, alignment);
        return;
    }
    ostrel_local::free::thread_free(storage, bytes, alignment);
}

void set_allocation_hooks(const AllocationHooks* hooks) noexcept {
    active_hooks.store(hooks, std::memory_order_relaxed);
}

void fail_length_above_capacity() {
    kavrel::domain::error::fail_invariant("invariant: aligned buffer length above its capacity");
}

}  // namespace zubrin_simd_core::vec::aligned::detail
