#include "kavrel_ops/infrastructure/cache.hpp"

#include <pthread.h>

#include <algorithm>
#include <mutex>

#include "garvon/topology/cpu/detect/linux.hpp"
#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::infrastructure::cache {

CacheGeometry CacheGeometry::detect() { return from_topology(garvon::topology::cpu::detect::linux::detect()); }

CacheGeometry CacheGeometry::from_topology(const std::optional<garvon::topology::cpu::topology::CpuTopology>& t) {
    CacheGeometry g;
    if (!t || !t->caches) return g;
    std::optional<std::uint64_t> sizes[3];
    std::optional<std::uint64_t> line;
    for (const auto& cache : *t->caches) {
        if (cache.level >= 1 && cache.level <= 3 && cache.size != 0) {
            auto& size = sizes[cache.level - 1];
            size = size ? std::min(*size, cache.size) : cache.size;
        }
        // Mixed line sizes: the largest, so a tile never splits a line of any cache.
        if (cache.line_size && *cache.line_size != 0) line = line ? std::max(*line, *cache.line_size) : *cache.line_size;
    }
    g.l1_bytes = sizes[0].value_or(default_l1_bytes);
    g.l2_bytes = sizes[1].value_or(default_l2_bytes);
    g.l3_bytes = sizes[2].value_or(default_l3_bytes);
    g.line_bytes = line.value_or(default_line_bytes);
    return g;
}

namespace cached_cache_geometry {

constinit CachedGeometry GEOMETRY;

namespace {

// Relaxed: only read and written under the build lock.
constinit std::atomic<bool> fork_handler_registered{false};

void reset_lock_in_child() { GEOMETRY.reset_in_child(); }

}  // namespace

CacheGeometry CachedGeometry::get() {
    // Acquire pairs with the release of the seam: the reader sees the injected record.
    if (const CacheGeometry* injected = injected_.load(std::memory_order_acquire)) return *injected;
    // Acquire pairs with the release in build: a reader that sees the pointer sees the record.
    if (const CacheGeometry* detected = detected_.load(std::memory_order_acquire)) return *detected;
    return build();
}

void CachedGeometry::inject_for_testing(const CacheGeometry* geometry) noexcept {
    // Release: the record is complete before a reader can see the pointer.
    injected_.store(geometry, std::memory_order_release);
}

const CacheGeometry& CachedGeometry::build() {
    std::lock_guard<dravik_utils::sync::futex::WordLock> guard(build_lock_);
    // Acquire: as in get (a detector before us has published under the lock).
    if (const CacheGeometry* detected = detected_.load(std::memory_order_acquire)) return *detected;
    if (!fork_handler_registered.load(std::memory_order_relaxed)) {
        if (pthread_atfork(nullptr, nullptr, &reset_lock_in_child) != 0)
            kavrel::domain::error::fail_invariant("cache geometry: the fork handler could not be registered");
        fork_handler_registered.store(true, std::memory_order_relaxed);
    }
    // Never freed: readers keep no reference count.
    const auto* geometry = new CacheGeometry(CacheGeometry::detect());
    detected_.store(geometry, std::memory_order_release);
    return *geometry;
}

}  // namespace cached_cache_geometry

}  // namespace kavrel_ops::infrastructure::cache
