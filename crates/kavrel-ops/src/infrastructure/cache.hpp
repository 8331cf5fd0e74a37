// The machine's cache sizes as four byte counts, read from the sysfs topology once per process:
// the element-wise maps size their parallel split and tiles by them, the LU factorisation its
// blocking. Detection never fails on missing data (a level nobody reports keeps its default);
// after the first read every read is a copy of four words.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "dravik_utils/sync/futex.hpp"
#include "garvon/topology/cpu/topology.hpp"

namespace kavrel_ops::infrastructure::cache {

inline constexpr std::uint64_t default_l1_bytes = 32768;
inline constexpr std::uint64_t default_l2_bytes = 262144;
inline constexpr std::uint64_t default_l3_bytes = 8388608;
inline constexpr std::uint64_t default_line_bytes = 64;

// Every field is at least 1.
struct CacheGeometry {
    std::uint64_t l1_bytes = default_l1_bytes;  // smallest level-1 cache reported
    std::uint64_t l2_bytes = default_l2_bytes;  // smallest level-2 cache reported
    std::uint64_t l3_bytes = default_l3_bytes;  // smallest level-3 cache reported
    std::uint64_t line_bytes = default_line_bytes;  // largest line size reported by any cache

    // Runs the full sysfs topology detection (each call anew) and reads its cache list. An
    // internal error of the detection passes through.
    [[nodiscard]] static CacheGeometry detect();
    // The geometry of a detected topology: per level the smallest nonzero size, the largest
    // nonzero line size of any entry; the defaults where nothing qualifies (no topology or no
    // cache list included).
    [[nodiscard]] static CacheGeometry from_topology(const std::optional<garvon::topology::cpu::topology::CpuTopology>& t);

    friend bool operator==(const CacheGeometry&, const CacheGeometry&) = default;
};

namespace cached_cache_geometry {

// The process-wide geometry, detected by its first reader and never changed or freed after.
class CachedGeometry {
public:
    constexpr CachedGeometry() noexcept = default;
    CachedGeometry(const CachedGeometry&) = delete;
    CachedGeometry& operator=(const CachedGeometry&) = delete;

    // A copy of the geometry, detecting it first if no reader has. Concurrent first readers
    // wait for the one that detects. A detection that fails (an internal error of the
    // topology reader) reaches its reader and leaves the geometry undetected, so the next
    // reader tries again. Any thread.
    [[nodiscard]] CacheGeometry get();

    // Test seam, C++ only: while set, every read returns *geometry instead (the caller keeps it
    // alive and unchanged until it clears the seam with nullptr). Not for concurrent use with
    // reads that must see the detected geometry.
    void inject_for_testing(const CacheGeometry* geometry) noexcept;

    // For a forked child only (no other thread of the child can hold the lock): a child
    // forked while another thread was detecting must not wait for that thread.
    void reset_in_child() noexcept { build_lock_.reset_in_child(); }

private:
    const CacheGeometry& build();

    std::atomic<const CacheGeometry*> detected_{nullptr};  // written once under build_lock_, never freed
    std::atomic<const CacheGeometry*> injected_{nullptr};  // written by tests only
    dravik_utils::sync::futex::WordLock build_lock_;       // a forked child resets it
};

extern constinit CachedGeometry GEOMETRY;

}  // namespace cached_cache_geometry

}  // namespace kavrel_ops::infrastructure::cache
