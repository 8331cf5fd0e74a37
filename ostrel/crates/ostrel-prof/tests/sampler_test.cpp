#include "ostrel_prof/sampler/sampler.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "ostrel_prof/control.hpp"
#include "ostrel_prof/sampler/store.hpp"
#include "ostrel_prof/stack.hpp"

namespace {

namespace sampler = ostrel_prof::sampler;
namespace store = ostrel_prof::sampler::store;
namespace control = ostrel_prof::control;
using ostrel_prof::tls::THREAD_STATE;

// Sets the modes directly for one test and switches them off again afterwards.
struct Modes {
    Modes(bool sampling, bool leaks, std::uint64_t interval) {
        control::SAMPLE_INTERVAL.store(interval);
        control::PROFILING_ACTIVE.store(sampling);
        control::LEAK_DETECTOR_ACTIVE.store(leaks);
        control::PROFILING_OR_HOOKS_ACTIVE.store(sampling || leaks);
    }
    ~Modes() {
        control::PROFILING_ACTIVE.store(false);
        control::LEAK_DETECTOR_ACTIVE.store(false);
        control::PROFILING_OR_HOOKS_ACTIVE.store(false);
        control::SAMPLE_INTERVAL.store(control::DEFAULT_SAMPLE_INTERVAL);
    }
};

template <class Body>
void on_fresh_thread(Body body) {
    std::thread thread(body);
    thread.join();
}

// Fake block addresses: the profiler never touches a block's memory.
void* block(std::uintptr_t n) { return reinterpret_cast<void*>(0x100000 + n * 64); }

// Every allocation below is made from this one call site, so equal call paths give equal
// stacks.
__attribute__((noinline)) void allocate_here(void* p, std::size_t n) { sampler::sample_allocation(p, n); }

TEST(OstrelProfSamplerTest, SwitchesSetTheFrontEndFlag) {
    EXPECT_FALSE(control::PROFILING_OR_HOOKS_ACTIVE.load());
    control::enable_profiling(0);
    EXPECT_TRUE(control::PROFILING_ACTIVE.load());
    EXPECT_FALSE(control::LEAK_DETECTOR_ACTIVE.load());
    EXPECT_TRUE(control::PROFILING_OR_HOOKS_ACTIVE.load());
    EXPECT_EQ(control::SAMPLE_INTERVAL.load(), 0u);
    control::enable_leak_detector();
    EXPECT_TRUE(control::LEAK_DETECTOR_ACTIVE.load());
    EXPECT_TRUE(control::PROFILING_OR_HOOKS_ACTIVE.load());
    Modes off(false, false, control::DEFAULT_SAMPLE_INTERVAL);
}

TEST(OstrelProfSamplerTest, SeedIsNeverTheXorshiftFixedPoint) {
    std::uint64_t constant = sampler::detail::seed_from_clock(-1);
    EXPECT_NE(constant, 0u);
    EXPECT_EQ(sampler::detail::seed_from_clock(0), constant);
    EXPECT_EQ(sampler::detail::seed_from_clock(12345), 12345u ^ constant);
    EXPECT_NE(sampler::detail::seed_from_clock(static_cast<std::int64_t>(constant & INT64_MAX)), 0u);
}

TEST(OstrelProfSamplerTest, GapsAreExponentialWithTheIntervalAsMean) {
    std::uint64_t state = 88172645463325252ull;
    double total = 0;
    constexpr int draws = 40000;
    for (int i = 0; i < draws; ++i) {
        std::uint64_t before = state;
        std::int64_t gap = sampler::detail::next_gap(state, 4096);
        ASSERT_NE(state, before);
        ASSERT_GE(gap, 0);
        ASSERT_LE(gap, static_cast<std::int64_t>(4096 * 20.8));  // -ln(1e-9) bounds a gap
        total += static_cast<double>(gap);
    }
    EXPECT_NEAR(total / draws, 4096.0, 4096.0 * 0.03);
    EXPECT_EQ(sampler::detail::next_gap(state, 0), 0);
    std::uint64_t tiny = 1;  // steps to a small value: a long gap that saturates
    EXPECT_EQ(sampler::detail::next_gap(tiny, UINT64_MAX), INT64_MAX);
}

TEST(OstrelProfSamplerTest, FirstAllocationOfAThreadIsSampledThenTheGapCountsDown) {
    Modes modes(true, false, 1u << 20);
    on_fresh_thread([] {
        EXPECT_EQ(THREAD_STATE.bytes_until_sample, 0);
        THREAD_STATE.random_state = 0x123456789ull;
        std::uint64_t expected_state = 0x123456789ull;
        std::int64_t gap = sampler::detail::next_gap(expected_state, 1u << 20);
        ASSERT_GT(gap, 1000);

        allocate_here(block(1), 100);
        std::optional<store::Sample> sample = store::find_sample(reinterpret_cast<std::uintptr_t>(block(1)));
        ASSERT_TRUE(sample.has_value());
        EXPECT_EQ(sample->size, 100u);
        EXPECT_EQ(THREAD_STATE.random_state, expected_state);
        EXPECT_EQ(THREAD_STATE.bytes_until_sample, gap - 100);

        allocate_here(block(2), 300);
        EXPECT_FALSE(store::find_sample(reinterpret_cast<std::uintptr_t>(block(2))).has_value());
        EXPECT_EQ(THREAD_STATE.bytes_until_sample, gap - 400);
        // An allocation that uses up the rest is sampled.
        allocate_here(block(3), static_cast<std::size_t>(gap - 400));
        EXPECT_TRUE(store::find_sample(reinterpret_cast<std::uintptr_t>(block(3))).has_value());

        sampler::on_free_cold(block(1));
        sampler::on_free_cold(block(3));
        EXPECT_EQ(store::sample_count(), 0u);
    });
}

TEST(OstrelProfSamplerTest, IntervalZeroSamplesEveryAllocation) {
    Modes modes(true, false, 0);
    on_fresh_thread([] {
        for (std::uintptr_t i = 0; i < 20; ++i) allocate_here(block(i), 16 + i);
        EXPECT_EQ(store::sample_count(), 20u);
        for (std::uintptr_t i = 0; i < 20; ++i) sampler::record_free_profile(block(i), nullptr, 1);
        EXPECT_EQ(store::sample_count(), 0u);
    });
}

TEST(OstrelProfSamplerTest, LeakModeRecordsEverythingAndLeavesTheCountAlone) {
    Modes modes(true, true, 1u << 30);
    on_fresh_thread([] {
        THREAD_STATE.bytes_until_sample = 12345;
        for (std::uintptr_t i = 0; i < 10; ++i) allocate_here(block(i), 1000);
        EXPECT_EQ(store::sample_count(), 10u);
        EXPECT_EQ(THREAD_STATE.bytes_until_sample, 12345);
        for (std::uintptr_t i = 0; i < 10; ++i) sampler::on_free_cold(block(i));
    });
}

TEST(OstrelProfSamplerTest, OneCallPathSharesOneStackUntilBothBlocksAreFreed) {
    Modes modes(false, true, 0);
    on_fresh_thread([] {
        // A count the compiler cannot see keeps the loop from being unrolled into two sites.
        volatile std::uintptr_t count = 2;
        for (std::uintptr_t i = 0; i < count; ++i) allocate_here(block(40 + i), 64);
        auto first = store::find_sample(reinterpret_cast<std::uintptr_t>(block(40)));
        auto second = store::find_sample(reinterpret_cast<std::uintptr_t>(block(41)));
        ASSERT_TRUE(first && second);
        EXPECT_EQ(first->stack, second->stack);
        EXPECT_EQ(ostrel_prof::stack::detail::references_of(first->stack), 2u);
        sampler::on_free_cold(block(40));
        EXPECT_EQ(ostrel_prof::stack::detail::references_of(first->stack), 1u);
        sampler::on_free_cold(block(41));
        EXPECT_EQ(ostrel_prof::stack::detail::references_of(first->stack), std::nullopt);
    });
}

TEST(OstrelProfSamplerTest, RecordingAnAddressAgainReplacesItsSample) {
    Modes modes(false, true, 0);
    on_fresh_thread([] {
        allocate_here(block(7), 10);
        allocate_here(block(7), 20);
        auto sample = store::find_sample(reinterpret_cast<std::uintptr_t>(block(7)));
        ASSERT_TRUE(sample);
        EXPECT_EQ(sample->size, 20u);
        EXPECT_EQ(store::sample_count(), 1u);
        EXPECT_EQ(ostrel_prof::stack::detail::references_of(sample->stack), 1u) << "the replaced one was released";
        sampler::on_free_cold(block(7));
        EXPECT_FALSE(store::shard_of(reinterpret_cast<std::uintptr_t>(block(7))).has_entries.load());
    });
}

TEST(OstrelProfSamplerTest, FreeOfAnUnsampledBlockChangesNothing) {
    Modes modes(false, true, 0);
    on_fresh_thread([] {
        allocate_here(block(1), 10);
        sampler::on_free_cold(block(2));
        sampler::on_free_cold(block(1 + 64 * 64));  // same shard, other address
        sampler::record_free_profile(nullptr, nullptr, 0);
        EXPECT_EQ(store::sample_count(), 1u);
        EXPECT_TRUE(store::find_sample(reinterpret_cast<std::uintptr_t>(block(1))).has_value());
        sampler::on_free_cold(block(1));
        EXPECT_EQ(store::sample_count(), 0u);
    });
}

TEST(OstrelProfSamplerTest, NothingIsRecordedFromInsideTheProfiler) {
    Modes modes(true, true, 0);
    on_fresh_thread([] {
        {
            ostrel_prof::tls::InProfiler inside(THREAD_STATE);
            allocate_here(block(9), 10);
            sampler::on_alloc_cold(block(9), 10);
        }
        EXPECT_FALSE(THREAD_STATE.in_profiler);
        EXPECT_EQ(store::sample_count(), 0u);
        sampler::on_alloc_cold(nullptr, 10);
        EXPECT_EQ(store::sample_count(), 0u);
    });
}

}  // namespace
