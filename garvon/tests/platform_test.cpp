#include "garvon/query/platform.hpp"

#include <gtest/gtest.h>
#include <sched.h>

#include <optional>
#include <string>
#include <vector>

namespace {

namespace platform = garvon::query::platform;
using platform::CpuLocality;

TEST(GarvonPlatformTest, GetcpuAnswersOutsideTheLimitsAreAbsent) {
    struct Case {
        long result;
        std::uint32_t processor;
        std::uint32_t node;
        std::optional<CpuLocality> expected;
    };
    const std::vector<Case> cases = {
        {0, 5, 1, CpuLocality{5, 1}},
        {0, 0, 0, CpuLocality{0, 0}},
        {0, 32767, 1023, CpuLocality{32767, 1023}},
        {0, 32768, 0, std::nullopt},
        {0, 0, 1024, std::nullopt},
        {0, 0xFFFFFFFF, 0xFFFFFFFF, std::nullopt},
        {-1, 3, 0, std::nullopt},
        {1, 3, 0, std::nullopt},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        const Case& c = cases[i];
        EXPECT_EQ(platform::detail::locality_from_getcpu(c.result, c.processor, c.node), c.expected);
    }
}

// The raw system call answers on Linux, with a processor the thread may run on.
TEST(GarvonPlatformTest, RealQueryNamesAnAllowedProcessor) {
    std::optional<CpuLocality> locality = platform::query_cpu_locality_os();
    ASSERT_TRUE(locality.has_value());
    EXPECT_LT(locality->node, 1024u);
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    EXPECT_TRUE(CPU_ISSET(locality->processor, &allowed)) << "processor " << locality->processor;
}

// Pinned to one processor, the query must name exactly that processor.
TEST(GarvonPlatformTest, RealQueryFollowsPinning) {
    cpu_set_t original;
    CPU_ZERO(&original);
    ASSERT_EQ(sched_getaffinity(0, sizeof original, &original), 0);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &original)) continue;
        SCOPED_TRACE("processor " + std::to_string(cpu));
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        std::optional<CpuLocality> locality = platform::query_cpu_locality_os();
        ASSERT_EQ(sched_setaffinity(0, sizeof original, &original), 0);
        ASSERT_TRUE(locality.has_value());
        EXPECT_EQ(locality->processor, static_cast<std::uint32_t>(cpu));
    }
}

TEST(GarvonPlatformTest, ThreadNamesAreCutTo15Bytes) {
    EXPECT_EQ(platform::cut_thread_name("ostrel-decay"), "ostrel-decay");
    EXPECT_EQ(platform::cut_thread_name("ostrel-decay-0123456789"), "ostrel-decay-01");
    EXPECT_EQ(platform::cut_thread_name(""), "");
}

}  // namespace
