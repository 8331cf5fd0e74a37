// The binary maps from many calling threads at once, every call on a parallel route (a level-3
// size of one byte makes every non-empty map parallel): dense shards, strided rows and tiled
// bands share the executor, and every result is checked element by element. Also the first
// reads of the cache geometry racing in a fresh process.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "ostrel_testing/deadline.hpp"
#include "kavrel/domain/layout/layout.hpp"
#include "kavrel_ops/application/map.hpp"
#include "kavrel_ops/infrastructure/cache.hpp"

namespace {

namespace map = kavrel_ops::application::map;
namespace cache = kavrel_ops::infrastructure::cache;
using kavrel::domain::layout::Layout;

constexpr unsigned callers = 6;

// One map of `rows` x `cols` with a's layout given by `a_transposed` and b broadcast or not;
// false when any output element differs from a + b.
bool checked_map(std::uint64_t rows, std::uint64_t cols, bool a_transposed, bool b_row, std::uint64_t seed) {
    const std::uint64_t n = rows * cols;
    std::vector<float> a(n), b(b_row ? cols : n), out(n, -1.0f);
    for (std::uint64_t k = 0; k < n; ++k) a[k] = static_cast<float>((k * 7 + seed) % 1009);
    for (std::uint64_t k = 0; k < b.size(); ++k) b[k] = static_cast<float>((k * 13 + seed) % 997) * 0.5f;
    const auto sc = static_cast<std::int64_t>(cols), sr = static_cast<std::int64_t>(rows);
    const Layout<2> la = a_transposed ? Layout<2>{{rows, cols}, {1, sr}, 0} : Layout<2>{{rows, cols}, {sc, 1}, 0};
    const Layout<2> lb = b_row ? Layout<2>{{1, cols}, {sc, 1}, 0} : Layout<2>{{rows, cols}, {sc, 1}, 0};
    const map::ArrayView<float, 2> av{a.data(), a.size(), la}, bv{b.data(), b.size(), lb};
    map::ArrayViewMut<float, 2> ov{out.data(), {{rows, cols}, {sc, 1}, 0}, out.size(), 0};
    if (!map::binary_map_with_cache_line<map::AddOp>(av, bv, ov)) return false;
    for (std::uint64_t i = 0; i < rows; ++i) {
        for (std::uint64_t j = 0; j < cols; ++j) {
            const float x = a_transposed ? a[i + j * rows] : a[i * cols + j];
            const float y = b_row ? b[j] : b[i * cols + j];
            if (out[i * cols + j] != x + y) return false;
        }
    }
    return true;
}

TEST(MapStressTest, ManyCallersOnEveryParallelRoute) {
    cache::CacheGeometry tiny;
    tiny.l3_bytes = 1;
    cache::cached_cache_geometry::GEOMETRY.inject_for_testing(&tiny);
    std::atomic<int> wrong{0};
    ostrel_testing::run_threads(callers, [&](unsigned t) {
        for (unsigned r = 0; r < 20; ++r) {
            const std::uint64_t seed = t * 100 + r;
            wrong.fetch_add(!checked_map(37 + t, 601, false, false, seed));  // dense shards
            wrong.fetch_add(!checked_map(211, 97 + t, false, true, seed));   // strided rows
            wrong.fetch_add(!checked_map(90 + t, 70, true, true, seed));     // tiled bands
        }
    }, "concurrent parallel maps");
    cache::cached_cache_geometry::GEOMETRY.inject_for_testing(nullptr);
    EXPECT_EQ(wrong.load(), 0);
}

// A fresh process (the death-test child re-runs the binary): eight threads make the first read
// of the geometry at once and all see the one detected record.
TEST(MapStressTest, FirstGeometryReadsRace) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const cache::CacheGeometry expected = cache::CacheGeometry::detect();
            std::atomic<bool> go{false};
            std::atomic<int> wrong{0};
            std::vector<std::thread> readers;
            for (int t = 0; t < 8; ++t)
                readers.emplace_back([&] {
                    while (!go.load()) std::this_thread::yield();
                    for (int k = 0; k < 100; ++k) wrong.fetch_add(cache::cached_cache_geometry::GEOMETRY.get() != expected);
                });
            go.store(true);
            for (auto& r : readers) r.join();
            std::exit(wrong.load() == 0 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
