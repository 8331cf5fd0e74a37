// Runs a scope under a given cache geometry (the C++-only seam of cached_cache_geometry), so
// that small arrays take the routes that large ones take on a real machine.
#pragma once

#include "kavrel_ops/infrastructure/cache.hpp"

namespace geometry_test {

using kavrel_ops::infrastructure::cache::CacheGeometry;

class InjectedGeometry {
public:
    explicit InjectedGeometry(const CacheGeometry& g) : geometry_(g) {
        kavrel_ops::infrastructure::cache::cached_cache_geometry::GEOMETRY.inject_for_testing(&geometry_);
    }
    InjectedGeometry(const InjectedGeometry&) = delete;
    InjectedGeometry& operator=(const InjectedGeometry&) = delete;
    ~InjectedGeometry() { kavrel_ops::infrastructure::cache::cached_cache_geometry::GEOMETRY.inject_for_testing(nullptr); }

private:
    CacheGeometry geometry_;
};

// A level-3 size of `l3` bytes and the given line; the other levels at their defaults.
inline CacheGeometry with_l3(std::uint64_t l3, std::uint64_t line = 64) {
    CacheGeometry g;
    g.l3_bytes = l3;
    g.line_bytes = line;
    return g;
}

}  // namespace geometry_test
