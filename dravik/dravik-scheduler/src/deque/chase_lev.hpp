// The growable Chase-Lev work-stealing deque of job records: the owner pushes and pops at
// the bottom (newest first), other threads steal from the top (oldest first) inside the
// access window. Every job leaves exactly once: slot tags make each record copy exclusive,
// and the access window keeps buffer replacement and stealing apart. Destroying a deque
// discards the jobs still in it.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <vector>

#include "dravik_scheduler/deque/chase_lev/storage.hpp"
#include "ostrel_core/backoff.hpp"

namespace dravik_scheduler::deque::chase_lev {

using storage::Array;

// Job requirements: trivially copyable, and `discard()` runs the job's drop entry.
template <class T>
concept DequeJob = std::is_trivially_copyable_v<T> && std::is_trivially_default_constructible_v<T> &&
                   requires(T& job) { job.discard(); };

inline constexpr std::uint64_t min_grown_capacity = 16;
// The owner's pop skips the full fence while this many jobs or more lie above it.
inline constexpr std::int64_t far_from_thieves = 15;
inline constexpr std::size_t steal_batch_limit = 16;

enum class StealStatus : std::uint8_t { Success, Empty, Retry };

template <class T>
struct Stolen {
    StealStatus status;
    T job;  // meaningful for Success only
};

// Buffers replaced by growth, kept until no thief can still read them.
template <class T>
struct DeferredReclaim {
    std::mutex mutex;
    std::vector<Array<T>*> buffers;  // under mutex

    void retire(Array<T>* buffer) {
        std::lock_guard<std::mutex> guard(mutex);
        buffers.push_back(buffer);
    }
    // Requires: no thief is inside the access window and none can enter.
    void free_all() noexcept {
        std::lock_guard<std::mutex> guard(mutex);
        for (Array<T>* buffer : buffers) Array<T>::destroy(buffer);
        buffers.clear();
    }
};

template <DequeJob T>
class alignas(128) ChaseLevInner {
public:
    // Starts at position 0. Requires: capacity is a power of two below the buffer limit.
    explicit ChaseLevInner(std::uint64_t capacity) : buffer_(Array<T>::create(capacity, 0)) {}
    ChaseLevInner(const ChaseLevInner&) = delete;
    ChaseLevInner& operator=(const ChaseLevInner&) = delete;

    // Requires: no other thread uses the deque any more.
    ~ChaseLevInner() {
        // Acquire: whatever handed the deque to this thread released the last writes.
        Array<T>* buffer = buffer_.load(std::memory_order_acquire);
        std::int64_t bottom = bottom_.load(std::memory_order_acquire);
        for (std::int64_t p = top_.load(std::memory_order_acquire); p < bottom; ++p) {
            T job = buffer->read(p);
            job.discard();
        }
        Array<T>::destroy(buffer);
        retired_.free_all();
    }

    // Owner only. Never fails: grows the buffer first when it is one slot short of full.
    void push(const T& job) {
        // Relaxed: the owner is the only writer of bottom and of the buffer pointer.
        std::int64_t b = bottom_.load(std::memory_order_relaxed);
        Array<T>* buffer = buffer_.load(std::memory_order_relaxed);
        if (b - top_.load(std::memory_order_seq_cst) >= static_cast<std::int64_t>(buffer->capacity) - 1) {
            buffer = grow(b);
        }
        std::atomic<std::int64_t>& tag = buffer->tag_of(b);
        // A thief may still be copying out of this slot's previous lap.
        ostrel_core::backoff::Backoff wait = ostrel_core::backoff::owner_wait();
        for (std::int64_t expected = b; !tag.compare_exchange_weak(expected, ~b, std::memory_order_seq_cst);
             expected = b) {
            wait.step();
        }
        buffer->write(b, job);
        // The tag is published before bottom moves: a thief that sees the new bottom and
        // claims the slot finds the job written.
        tag.store(b, std::memory_order_release);
        bottom_.store(b + 1, std::memory_order_seq_cst);
    }

    // Owner only. The most recently pushed job, or nothing. Nothing may also come back
    // while a thief holds the last job's slot; the job then stays for a later try.
    std::optional<T> pop() {
        // Relaxed: the owner is the only writer of bottom and of the buffer pointer.
        std::int64_t b = bottom_.load(std::memory_order_relaxed) - 1;
        Array<T>* buffer = buffer_.load(std::memory_order_relaxed);
        // Release is enough for the far path: a thief that meets us at slot b is kept out
        // by the tag, and one that claims the tag after our copy acquires this store with it.
        bottom_.store(b, std::memory_order_release);
        // Relaxed: a stale top only sends us down the far path, where the tag decides.
        if (b - top_.load(std::memory_order_relaxed) > far_from_thieves) return take_bottom(*buffer, b);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        std::int64_t t = top_.load(std::memory_order_seq_cst);
        if (b > t) return take_bottom(*buffer, b);
        if (b < t) {
            bottom_.store(b + 1, std::memory_order_seq_cst);
            return std::nullopt;
        }
        return take_last(*buffer, b);
    }

    // Thieves: enter before stealing, leave afterwards. No buffer is replaced while a
    // thief is inside, and no thief enters while a resize runs.
    void enter_access() noexcept {
        for (;;) {
            if ((access_.fetch_add(thief_unit, std::memory_order_seq_cst) & resize_bit) == 0) return;
            access_.fetch_sub(thief_unit, std::memory_order_seq_cst);
            ostrel_core::backoff::yield_processor();
        }
    }
    void leave_access() noexcept { access_.fetch_sub(thief_unit, std::memory_order_seq_cst); }

    // Any thread inside the access window: the oldest job, Empty, or Retry when another
    // thread met it at the same slot.
    Stolen<T> steal_within_access() noexcept {
        std::int64_t t = top_.load(std::memory_order_seq_cst);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        std::int64_t b = bottom_.load(std::memory_order_seq_cst);
        if (b - t < 1) return {StealStatus::Empty, T{}};
        // Read only inside the window, where the owner cannot replace it.
        Array<T>* buffer = buffer_.load(std::memory_order_seq_cst);
        std::atomic<std::int64_t>& tag = buffer->tag_of(t);
        std::int64_t expected = t;
        if (!tag.compare_exchange_strong(expected, ~t, std::memory_order_seq_cst)) return {StealStatus::Retry, T{}};
        std::int64_t seen_top = t;
        if (bottom_.load(std::memory_order_seq_cst) - t > 0 &&
            top_.compare_exchange_strong(seen_top, t + 1, std::memory_order_seq_cst)) {
            T job = buffer->read(t);
            // Release (here and at every tag store): the next claimer of the slot, with
            // its sequentially consistent compare-and-swap, sees this copy finished.
            tag.store(t + static_cast<std::int64_t>(buffer->capacity), std::memory_order_release);
            return {StealStatus::Success, job};
        }
        tag.store(t, std::memory_order_release);
        return {StealStatus::Retry, T{}};
    }

    // Any thread: bottom - top, a snapshot that may be stale at once.
    std::int64_t len() const noexcept {
        return bottom_.load(std::memory_order_seq_cst) - top_.load(std::memory_order_seq_cst);
    }
    // Owner only (relaxed: the owner replaces the buffer itself).
    std::uint64_t capacity() const noexcept { return buffer_.load(std::memory_order_relaxed)->capacity; }

    // Owner only, when idle: a buffer larger than `initial_capacity` holding fewer than
    // initial_capacity - 1 jobs is replaced by one of `initial_capacity`, and every retired
    // buffer is freed.
    void shrink_if_drained(std::uint64_t initial_capacity) {
        if (capacity() <= initial_capacity) return;
        ThievesExcluded excluded(*this);
        // Relaxed: written by this thread only.
        std::int64_t b = bottom_.load(std::memory_order_relaxed);
        std::int64_t t = top_.load(std::memory_order_seq_cst);
        std::int64_t n = b - t;
        if (n >= 0 && n < static_cast<std::int64_t>(initial_capacity) - 1) {
            replace_buffer(Array<T>::create(initial_capacity, b), t, b);
            retired_.free_all();
        }
    }

private:
    static constexpr std::uint64_t resize_bit = 1;
    static constexpr std::uint64_t thief_unit = 2;

    // Sets the resize bit and waits until no thief is inside; clears it on every way out.
    class ThievesExcluded {
    public:
        explicit ThievesExcluded(ChaseLevInner& deque) noexcept : access_(deque.access_) {
            access_.fetch_or(resize_bit, std::memory_order_seq_cst);
            ostrel_core::backoff::Backoff wait = ostrel_core::backoff::owner_wait();
            while (access_.load(std::memory_order_seq_cst) != resize_bit) wait.step();
        }
        ~ThievesExcluded() { access_.fetch_and(~resize_bit, std::memory_order_seq_cst); }
        ThievesExcluded(const ThievesExcluded&) = delete;
        ThievesExcluded& operator=(const ThievesExcluded&) = delete;

    private:
        std::atomic<std::uint64_t>& access_;
    };

    // With thieves excluded: copies positions t .. b - 1 and their tags into `fresh`,
    // publishes it and retires the old buffer.
    void replace_buffer(Array<T>* fresh, std::int64_t t, std::int64_t b) {
        // Relaxed: no thief is inside, and the ones that left released their last tag
        // stores through the access word, which the exclusion acquired.
        Array<T>* old = buffer_.load(std::memory_order_relaxed);
        for (std::int64_t p = t; p < b; ++p) {
            fresh->write(p, old->read(p));
            fresh->tag_of(p).store(old->tag_of(p).load(std::memory_order_relaxed), std::memory_order_relaxed);
        }
        buffer_.store(fresh, std::memory_order_seq_cst);
        retired_.retire(old);
    }

    Array<T>* grow(std::int64_t b) {
        ThievesExcluded excluded(*this);
        Array<T>* old = buffer_.load(std::memory_order_relaxed);  // relaxed: the owner's own pointer
        std::uint64_t wanted = old->capacity * 2;
        if (wanted < old->capacity || wanted > (std::uint64_t{1} << 63)) std::abort();
        std::uint64_t grown = std::max(min_grown_capacity, std::bit_ceil(wanted));
        if (grown >= storage::capacity_limit) std::abort();
        replace_buffer(Array<T>::create(grown, b), top_.load(std::memory_order_seq_cst), b);
        return buffer_.load(std::memory_order_relaxed);  // the one just stored by this thread
    }

    // Pop of position b while other jobs lie between it and top.
    std::optional<T> take_bottom(Array<T>& buffer, std::int64_t b) {
        std::atomic<std::int64_t>& tag = buffer.tag_of(b);
        std::int64_t expected = b;
        if (!tag.compare_exchange_strong(expected, ~b, std::memory_order_seq_cst)) {
            bottom_.store(b + 1, std::memory_order_seq_cst);
            return std::nullopt;
        }
        T job = buffer.read(b);
        tag.store(b, std::memory_order_release);
        return job;
    }

    // Pop of the last job (b == top): the owner races the thieves for top.
    std::optional<T> take_last(Array<T>& buffer, std::int64_t b) {
        std::atomic<std::int64_t>& tag = buffer.tag_of(b);
        std::int64_t expected = b;
        if (!tag.compare_exchange_strong(expected, ~b, std::memory_order_seq_cst)) {
            bottom_.store(b + 1, std::memory_order_seq_cst);
            return std::nullopt;
        }
        std::int64_t t = b;
        if (!top_.compare_exchange_strong(t, b + 1, std::memory_order_seq_cst)) {
            tag.store(b, std::memory_order_release);
            bottom_.store(b + 1, std::memory_order_seq_cst);
            return std::nullopt;
        }
        bottom_.store(b + 1, std::memory_order_seq_cst);
        T job = buffer.read(b);
        tag.store(b + static_cast<std::int64_t>(buffer.capacity), std::memory_order_release);
        return job;
    }

    alignas(128) std::atomic<std::int64_t> bottom_{0};  // next push position; written by the owner only
    alignas(128) std::atomic<std::int64_t> top_{0};     // oldest present position; compare-and-swap only
    alignas(128) DeferredReclaim<T> retired_;
    std::atomic<Array<T>*> buffer_;      // replaced by the owner with thieves excluded
    std::atomic<std::uint64_t> access_{0};  // bit 0: resize running; the rest: 2 x thieves inside
};

// The shared handle: the owner and the thieves each hold one.
template <DequeJob T>
struct ChaseLevDeque {
    std::shared_ptr<ChaseLevInner<T>> inner;

    static ChaseLevDeque with_capacity(std::uint64_t capacity) {
        return ChaseLevDeque{std::make_shared<ChaseLevInner<T>>(capacity)};
    }
    ChaseLevInner<T>* operator->() const noexcept { return inner.get(); }
    ChaseLevInner<T>& operator*() const noexcept { return *inner; }
};

// Up to 16 jobs taken by one steal, handed on one at a time; destroying the batch
// discards the jobs not yet handed on.
template <DequeJob T>
class StolenBatch {
public:
    StolenBatch() = default;
    StolenBatch(const StolenBatch&) = delete;
    StolenBatch& operator=(const StolenBatch&) = delete;
    ~StolenBatch() {
        for (std::size_t i = next_; i < count_; ++i) jobs_[i].discard();
    }

    // Requires: fewer than steal_batch_limit jobs held.
    void add(const T& job) noexcept { jobs_[count_++] = job; }
    bool empty() const noexcept { return next_ == count_; }
    std::size_t size() const noexcept { return count_; }
    // Requires: not empty.
    T take() noexcept { return jobs_[next_++]; }

private:
    T jobs_[steal_batch_limit];
    std::size_t count_ = 0;
    std::size_t next_ = 0;
};

}  // namespace dravik_scheduler::deque::chase_lev
