// The bounded multi-producer, multi-consumer ring that serves as each worker's admission
// queue. Any thread pushes and pops; a push into a ring that holds its requested number of
// entries hands the entry back untouched. Entries are moved by plain copies guarded by a
// sequence word per slot, so they must be trivially copyable; destroying the ring discards
// every entry still in it exactly once.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <expected>
#include <memory>
#include <optional>
#include <type_traits>

#include "ostrel_core/backoff.hpp"

namespace dravik_utils::queue::ring {

// Capacities of a ring asked for `capacity` entries: requested = max(capacity, 1),
// physical = max(2, the next power of two >= requested). Stops with an internal error when
// that power of two does not fit 64 bits.
struct RingCapacities {
    std::uint64_t requested;
    std::uint64_t physical;
};
RingCapacities ring_capacities(std::uint64_t capacity);

// Entry requirements: trivially copyable, and `discard()` releases what the entry owns.
template <class T>
concept RingEntry = std::is_trivially_copyable_v<T> && std::is_trivially_default_constructible_v<T> &&
                    requires(T& entry) { entry.discard(); };

template <RingEntry T>
class LockFreeQueue {
public:
    explicit LockFreeQueue(std::uint64_t capacity) {
        RingCapacities sizes = ring_capacities(capacity);
        requested_ = sizes.requested;
        physical_ = sizes.physical;
        mask_ = physical_ - 1;
        slots_ = std::make_unique<Slot[]>(physical_);
        // Relaxed: the ring reaches other threads only through a later synchronising hand-over.
        for (std::uint64_t i = 0; i < physical_; ++i) slots_[i].sequence.store(i, std::memory_order_relaxed);
    }
    LockFreeQueue(const LockFreeQueue&) = delete;
    LockFreeQueue& operator=(const LockFreeQueue&) = delete;

    // Requires: no other thread uses the ring any more.
    ~LockFreeQueue() {
        // Acquire: whatever handed the ring to this thread released the last writes.
        std::uint64_t tail = tail_.load(std::memory_order_acquire);
        for (std::uint64_t p = head_.load(std::memory_order_acquire); p != tail; ++p) {
            Slot& slot = slots_[p & mask_];
            if (slot.sequence.load(std::memory_order_acquire) == p + 1) slot.value.discard();
        }
    }

    // Any thread. The entry back when the ring already holds its requested capacity.
    std::expected<void, T> push(const T& entry) {
        ostrel_core::backoff::Backoff wait(ostrel_core::backoff::pauses_before_yield, false);
        std::uint64_t p = tail_.load(std::memory_order_seq_cst);
        for (;;) {
            Slot& slot = slots_[p & mask_];
            // Acquire pairs with the consumer's release: its copy out of the slot is done.
            std::uint64_t q = slot.sequence.load(std::memory_order_acquire);
            auto lag = static_cast<std::int64_t>(q - p);
            if (lag == 0) {
                if (is_full_at(p)) return std::unexpected(entry);
                if (tail_.compare_exchange_weak(p, p + 1, std::memory_order_seq_cst, std::memory_order_seq_cst)) {
                    std::memcpy(static_cast<void*>(&slot.value), &entry, sizeof(T));
                    // Release: the consumer that sees p + 1 sees the entry.
                    slot.sequence.store(p + 1, std::memory_order_release);
                    return {};
                }
            } else if (lag < 0) {
                // The slot still holds the entry of the previous lap.
                if (is_full_at(p)) return std::unexpected(entry);
                wait.step();
                p = tail_.load(std::memory_order_seq_cst);
            } else {
                p = tail_.load(std::memory_order_seq_cst);
            }
        }
    }

    // Any thread. Nothing when the ring is empty (or its next entry is still being written).
    std::optional<T> pop() {
        std::uint64_t h = head_.load(std::memory_order_seq_cst);
        for (;;) {
            Slot& slot = slots_[h & mask_];
            // Acquire pairs with the producer's release: the entry is written.
            std::uint64_t q = slot.sequence.load(std::memory_order_acquire);
            auto lag = static_cast<std::int64_t>(q - (h + 1));
            if (lag == 0) {
                if (head_.compare_exchange_weak(h, h + 1, std::memory_order_seq_cst, std::memory_order_seq_cst)) {
                    T entry;
                    std::memcpy(static_cast<void*>(&entry), &slot.value, sizeof(T));
                    // Release: the producer of the next lap writes only after this copy.
                    slot.sequence.store(h + physical_, std::memory_order_release);
                    return entry;
                }
            } else if (lag > 0) {
                h = head_.load(std::memory_order_seq_cst);
            } else {
                return std::nullopt;
            }
        }
    }

    std::uint64_t requested_capacity() const noexcept { return requested_; }
    std::uint64_t physical_capacity() const noexcept { return physical_; }

private:
    struct Slot {
        std::atomic<std::uint64_t> sequence;
        T value;
    };

    // The ring holds its requested number of entries before position p. A p that lags
    // behind head gives a huge difference and is not full: its producer just reloads.
    bool is_full_at(std::uint64_t p) const noexcept {
        std::uint64_t used = p - head_.load(std::memory_order_seq_cst);
        return used >= requested_ && used <= physical_;
    }

    alignas(128) std::atomic<std::uint64_t> head_{0};  // next position to take; any consumer
    alignas(128) std::atomic<std::uint64_t> tail_{0};  // next position to fill; any producer
    alignas(128) std::uint64_t mask_ = 0;              // the rest is fixed at creation
    std::uint64_t physical_ = 0;
    std::uint64_t requested_ = 0;
    std::unique_ptr<Slot[]> slots_;
};

}  // namespace dravik_utils::queue::ring
