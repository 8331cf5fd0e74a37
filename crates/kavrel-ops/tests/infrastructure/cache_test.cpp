#include "kavrel_ops/infrastructure/cache.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "garvon/topology/cpu/detect/linux.hpp"
#include "garvon/topology/types/cpu.hpp"
#include "support/geometry.hpp"

namespace {

using garvon::topology::cpu::topology::CpuTopology;
using garvon::topology::types::cpu::CacheLevel;
using kavrel_ops::infrastructure::cache::CacheGeometry;
using kavrel_ops::infrastructure::cache::cached_cache_geometry::GEOMETRY;

static_assert(std::is_trivially_copyable_v<CacheGeometry>);
static_assert(sizeof(CacheGeometry) == 4 * sizeof(std::uint64_t));

const CacheGeometry defaults{32768, 262144, 8388608, 64};

CacheLevel level(std::uint32_t lvl, std::uint64_t size, std::optional<std::uint64_t> line = std::nullopt) {
    return CacheLevel{line, {0}, size, lvl};
}

std::optional<CpuTopology> with_caches(std::optional<std::vector<CacheLevel>> caches) {
    CpuTopology t = CpuTopology::single_node(2);
    t.caches = std::move(caches);
    return t;
}

struct TopologyCase {
    const char* name;
    std::optional<CpuTopology> topology;
    CacheGeometry expected;
};

TEST(CacheGeometryTest, FromTopologySmallestSizeLargestLineDefaultsElsewhere) {
    const std::vector<TopologyCase> cases = {
        {"no topology", std::nullopt, defaults},
        {"no cache list", with_caches(std::nullopt), defaults},
        {"empty cache list", with_caches(std::vector<CacheLevel>{}), defaults},
        {"two level-1 sizes", with_caches({{level(1, 49152, 64), level(1, 32768, 64)}}), {32768, 262144, 8388608, 64}},
        {"level-2 of size 0 beside 1 MiB", with_caches({{level(2, 0, 64), level(2, 1048576, 64)}}),
         {32768, 1048576, 8388608, 64}},
        {"only a level-3 entry without line", with_caches({{level(3, 33554432)}}), {32768, 262144, 33554432, 64}},
        {"line sizes 64 and 128", with_caches({{level(1, 32768, 64), level(2, 524288, 128)}}),
         {32768, 524288, 8388608, 128}},
        // Other levels leave the sizes alone, but their line still counts.
        {"level 4 with a line", with_caches({{level(4, 1 << 30, 256), level(3, 16777216, 64)}}),
         {32768, 262144, 16777216, 256}},
        {"hybrid level-2 sizes, first larger", with_caches({{level(2, 2097152, 64), level(2, 1048576, 64),
                                                            level(2, 4194304, 64)}}),
         {32768, 1048576, 8388608, 64}},
        {"every level", with_caches({{level(1, 49152, 64), level(2, 1310720, 64), level(3, 31457280, 64)}}),
         {49152, 1310720, 31457280, 64}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(CacheGeometry::from_topology(c.topology), c.expected);
    }
}

TEST(CacheGeometryTest, DetectReadsThisMachinesTopology) {
    const CacheGeometry g = CacheGeometry::detect();
    EXPECT_EQ(g, CacheGeometry::from_topology(garvon::topology::cpu::detect::linux::detect()));
    EXPECT_GE(g.l1_bytes, 1u);
    EXPECT_GE(g.l2_bytes, 1u);
    EXPECT_GE(g.l3_bytes, 1u);
    EXPECT_GE(g.line_bytes, 1u);
}

TEST(CachedCacheGeometryTest, DetectedOnceThenCopied) {
    const CacheGeometry first = GEOMETRY.get();
    EXPECT_EQ(first, CacheGeometry::detect());
    EXPECT_EQ(GEOMETRY.get(), first);
}

TEST(CachedCacheGeometryTest, InjectedGeometryHoldsForItsScopeOnly) {
    const CacheGeometry detected = GEOMETRY.get();
    const CacheGeometry small{1024, 2048, 4096, 128};
    {
        geometry_test::InjectedGeometry injected(small);
        EXPECT_EQ(GEOMETRY.get(), small);
    }
    EXPECT_EQ(GEOMETRY.get(), detected);
}

}  // namespace
