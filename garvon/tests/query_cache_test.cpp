#include "garvon/query/cache.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>
#include <type_traits>

namespace {

namespace cache = garvon::query::cache;
using garvon::query::platform::CpuLocality;

// Thread exit must run no destructor for the cell.
static_assert(std::is_trivially_destructible_v<decltype(cache::detail::VALUE)>);

// Fake queries for the cell logic; the counters show when a query is made.
std::atomic<int> failing_calls{0};
std::atomic<int> node3_calls{0};
std::atomic<int> node5_calls{0};

std::optional<CpuLocality> failing_query() {
    ++failing_calls;
    return std::nullopt;
}
std::optional<CpuLocality> node3_query() {
    ++node3_calls;
    return CpuLocality{1, 3};
}
std::optional<CpuLocality> node5_query() {
    ++node5_calls;
    return CpuLocality{2, 5};
}

void reset_counters() {
    failing_calls = 0;
    node3_calls = 0;
    node5_calls = 0;
}

template <typename Body>
void on_fresh_thread(Body body) {
    std::thread thread(body);
    thread.join();
}

TEST(GarvonQueryCacheTest, FailedFirstQueryIsKeptAsNodeZeroUntilRefreshed) {
    reset_counters();
    on_fresh_thread([] {
        EXPECT_FALSE(cache::detail::VALUE.has_value());
        EXPECT_EQ(cache::detail::cached_node_with(&failing_query), 0u);
        EXPECT_EQ(cache::detail::VALUE, std::optional<std::uint32_t>(0));
        // A later query that would succeed is never made: the 0 stays.
        EXPECT_EQ(cache::detail::cached_node_with(&node3_query), 0u);
        EXPECT_EQ(cache::detail::store_queried_node(&node3_query), 3u);
        EXPECT_EQ(cache::detail::cached_node_with(&failing_query), 3u);
        // A refresh stores its answer unconditionally, a failure as 0.
        EXPECT_EQ(cache::detail::store_queried_node(&failing_query), 0u);
        EXPECT_EQ(cache::detail::cached_node_with(&node5_query), 0u);
    });
    EXPECT_EQ(failing_calls, 2);
    EXPECT_EQ(node3_calls, 1);
    EXPECT_EQ(node5_calls, 0);
}

TEST(GarvonQueryCacheTest, OneQueryPerThreadAndCellsAreThreadPrivate) {
    reset_counters();
    on_fresh_thread([] {
        for (int i = 0; i < 1000; ++i) ASSERT_EQ(cache::detail::cached_node_with(&node3_query), 3u);
        on_fresh_thread([] {
            EXPECT_FALSE(cache::detail::VALUE.has_value());
            EXPECT_EQ(cache::detail::cached_node_with(&node5_query), 5u);
        });
        EXPECT_EQ(cache::detail::cached_node_with(&node5_query), 3u);
    });
    EXPECT_EQ(node3_calls, 1);
    EXPECT_EQ(node5_calls, 1);
}

// The real query through the public entries: the first answer is the kernel's node and
// stays cached; a refresh gives a valid node again.
TEST(GarvonQueryCacheTest, RealCachedNodeMatchesTheKernel) {
    on_fresh_thread([] {
        std::optional<CpuLocality> locality = garvon::query::platform::query_cpu_locality_os();
        ASSERT_TRUE(locality.has_value());
        std::uint32_t first = cache::cached_node();
        EXPECT_LT(first, 1024u);
        EXPECT_EQ(cache::detail::VALUE, std::optional<std::uint32_t>(first));
        EXPECT_EQ(cache::cached_node(), first);
        std::uint32_t refreshed = cache::refresh_cached_node();
        EXPECT_LT(refreshed, 1024u);
        EXPECT_EQ(cache::cached_node(), refreshed);
    });
}

}  // namespace
