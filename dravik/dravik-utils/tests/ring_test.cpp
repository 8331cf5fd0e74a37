#include "dravik_utils/queue/ring.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "kavrel/domain/error/error.hpp"

namespace {

using dravik_utils::queue::ring::LockFreeQueue;
using dravik_utils::queue::ring::ring_capacities;

// A 144-byte entry like the executor's ring entries; discard() counts per id.
std::array<int, 64> discards{};

struct Entry {
    std::uint64_t id;
    unsigned char bytes[136];

    void discard() noexcept { ++discards[id]; }
};

Entry entry(std::uint64_t id) {
    Entry e{};
    e.id = id;
    for (std::size_t i = 0; i < sizeof e.bytes; ++i) e.bytes[i] = static_cast<unsigned char>(id * 31 + i);
    return e;
}

bool same_bytes(const Entry& a, const Entry& b) { return std::memcmp(&a, &b, sizeof(Entry)) == 0; }

TEST(RingTest, CapacitiesRoundTheRequestUpToAPowerOfTwoOfAtLeastTwoSlots) {
    struct Row {
        std::uint64_t asked, requested, physical;
    };
    for (Row row : {Row{0, 1, 2}, Row{1, 1, 2}, Row{2, 2, 2}, Row{3, 3, 4}, Row{5, 5, 8}, Row{8, 8, 8},
                    Row{1024, 1024, 1024}, Row{1025, 1025, 2048}}) {
        SCOPED_TRACE(row.asked);
        auto sizes = ring_capacities(row.asked);
        EXPECT_EQ(sizes.requested, row.requested);
        EXPECT_EQ(sizes.physical, row.physical);
    }
    EXPECT_THROW(ring_capacities((std::uint64_t{1} << 63) + 1), kavrel::domain::error::InternalError);
}

TEST(RingTest, AcceptsExactlyTheRequestedNumberOfEntries) {
    for (std::uint64_t capacity : {1u, 5u, 8u}) {
        SCOPED_TRACE(capacity);
        LockFreeQueue<Entry> ring(capacity);
        for (std::uint64_t i = 0; i < capacity; ++i) EXPECT_TRUE(ring.push(entry(i)));
        EXPECT_FALSE(ring.push(entry(capacity)));
        // One taken makes room for exactly one more, across the wrap of the slot array.
        for (std::uint64_t lap = 0; lap < 20; ++lap) {
            auto taken = ring.pop();
            ASSERT_TRUE(taken);
            EXPECT_TRUE(ring.push(*taken));
            EXPECT_FALSE(ring.push(entry(63)));
        }
        for (std::uint64_t i = 0; i < capacity; ++i) EXPECT_TRUE(ring.pop());
        EXPECT_FALSE(ring.pop());
    }
}

TEST(RingTest, FullRingHandsTheEntryBackByteIdenticalAndStaysAsItWas) {
    LockFreeQueue<Entry> ring(5);
    for (std::uint64_t i = 0; i < 5; ++i) ASSERT_TRUE(ring.push(entry(i)));
    Entry refused = entry(9);
    auto result = ring.push(refused);
    ASSERT_FALSE(result);
    EXPECT_TRUE(same_bytes(result.error(), refused));
    for (std::uint64_t i = 0; i < 5; ++i) {
        auto taken = ring.pop();
        ASSERT_TRUE(taken);
        EXPECT_TRUE(same_bytes(*taken, entry(i))) << "position " << i;
    }
    EXPECT_FALSE(ring.pop());
}

TEST(RingTest, EntriesComeOutInOrderOverManyLaps) {
    LockFreeQueue<Entry> ring(3);
    std::uint64_t next_in = 0, next_out = 0;
    for (int step = 0; step < 200; ++step) {
        if (step % 3 != 2) {
            if (ring.push(entry(next_in % 64))) ++next_in;
        } else if (auto taken = ring.pop()) {
            EXPECT_TRUE(same_bytes(*taken, entry(next_out % 64)));
            ++next_out;
        }
    }
    EXPECT_GT(next_out, 60u);
}

TEST(RingTest, DestroyingTheRingDiscardsEachHeldEntryOnce) {
    discards.fill(0);
    {
        LockFreeQueue<Entry> ring(8);
        for (std::uint64_t i = 0; i < 8; ++i) ASSERT_TRUE(ring.push(entry(i)));
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(ring.pop());  // 0, 1, 2 leave by pop
        for (std::uint64_t i = 8; i < 11; ++i) ASSERT_TRUE(ring.push(entry(i)));
    }
    for (std::uint64_t id = 0; id < 11; ++id) {
        SCOPED_TRACE(id);
        EXPECT_EQ(discards[id], id < 3 ? 0 : 1);
    }
}

}  // namespace
