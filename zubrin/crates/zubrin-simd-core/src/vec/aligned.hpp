// Fixed-capacity scratch buffers of float32 or float64 elements whose storage starts on a
// 64-byte boundary, taken from the calling thread's allocator heap and given back on drop
// with the size and alignment of its allocation. Used for packed matrix panels; the
// contents are never zero-filled: the owner writes every element before reading it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace zubrin_simd_core::vec::aligned {

namespace detail {

// The storage size of `capacity` elements of `element_bytes` each; stops with the internal
// error "Capacity overflow" when it does not fit 64 bits, and with "align is power-of-2,
// size validated by checked_mul" when it exceeds the largest valid layout for `alignment`.
std::size_t checked_storage_bytes(std::uint64_t capacity, std::size_t element_bytes, std::size_t alignment);

// Allocation and free through the thread allocator; a failed allocation ends the process
// with "memory allocation of <bytes> bytes failed".
void* allocate_storage(std::size_t bytes, std::size_t alignment);
void free_storage(void* storage, std::size_t bytes, std::size_t alignment) noexcept;

// A C++-only seam for tests: when set, storage requests and frees go to these instead of
// the allocator. Set and cleared by a test while no buffer is live.
struct AllocationHooks {
    void* (*allocate)(std::size_t bytes, std::size_t alignment);
    void (*free)(void* storage, std::size_t bytes, std::size_t alignment);
};
void set_allocation_hooks(const AllocationHooks* hooks) noexcept;

[[noreturn]] void fail_length_above_capacity();

}  // namespace detail

// One owner, never shared; may be dropped (or moved to and dropped) on another thread than
// the one that created it. The capacity is fixed at creation: there is no growth.
template <class T, std::size_t Alignment = 64>
class AlignedVec {
    static_assert(std::is_same_v<T, float> || std::is_same_v<T, double>, "AlignedVec holds float32 or float64");
    static_assert(Alignment == 64, "AlignedVec storage is aligned to one cache line");

public:
    // Length 0 with storage for `capacity` elements (none taken for 0).
    static AlignedVec with_capacity(std::uint64_t capacity) {
        AlignedVec result;
        if (capacity == 0) return result;
        std::size_t bytes = detail::checked_storage_bytes(capacity, sizeof(T), Alignment);
        result.storage_ = static_cast<T*>(detail::allocate_storage(bytes, Alignment));
        result.capacity_ = capacity;
        return result;
    }

    AlignedVec(const AlignedVec&) = delete;
    AlignedVec& operator=(const AlignedVec&) = delete;
    // A moved-from buffer is empty, so the storage is freed exactly once.
    AlignedVec(AlignedVec&& other) noexcept
        : storage_(std::exchange(other.storage_, empty_storage())),
          length_(std::exchange(other.length_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    AlignedVec& operator=(AlignedVec&& other) noexcept {
        if (this != &other) {
            release();
            storage_ = std::exchange(other.storage_, empty_storage());
            length_ = std::exchange(other.length_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~AlignedVec() { release(); }

    // Writable below capacity(); for capacity 0 a placeholder that must not be dereferenced.
    T* data() noexcept { return storage_; }
    const T* data() const noexcept { return storage_; }
    std::uint64_t len() const noexcept { return length_; }
    std::uint64_t capacity() const noexcept { return capacity_; }
    static constexpr std::size_t alignment() noexcept { return Alignment; }

    // Requires: the first `length` elements have been written. A length above the capacity
    // is an internal error.
    void set_len(std::uint64_t length);

private:
    AlignedVec() noexcept = default;

    // Non-null and aligned, like real storage, but never dereferenced.
    static T* empty_storage() noexcept { return reinterpret_cast<T*>(Alignment); }

    void release() noexcept {
        if (capacity_ == 0) return;
        T* storage = std::exchange(storage_, empty_storage());
        std::uint64_t capacity = std::exchange(capacity_, 0);
        length_ = 0;
        // Cannot overflow: the same product was checked at creation.
        detail::free_storage(storage, static_cast<std::size_t>(capacity) * sizeof(T), Alignment);
    }

    T* storage_ = empty_storage();
    std::uint64_t length_ = 0;
    std::uint64_t capacity_ = 0;
};

template <class T, std::size_t Alignment>
void AlignedVec<T, Alignment>::set_len(std::uint64_t length) {
    if (length > capacity_) detail::fail_length_above_capacity();
    length_ = length;
}

}  // namespace zubrin_simd_core::vec::aligned
