#include "zubrin_simd_core/vec/aligned.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "ostrel_local/alloc.hpp"
#include "ostrel_local/free.hpp"

namespace {

using zubrin_simd_core::vec::aligned::AlignedVec;
namespace detail = zubrin_simd_core::vec::aligned::detail;

static_assert(!std::is_copy_constructible_v<AlignedVec<double>>);
static_assert(!std::is_copy_assignable_v<AlignedVec<float>>);
static_assert(std::is_nothrow_move_constructible_v<AlignedVec<float>>);
static_assert(AlignedVec<double>::alignment() == 64);

struct Call {
    void* storage;
    std::size_t bytes;
    std::size_t alignment;
};

// Records every request and free, and serves them from the real allocator.
std::vector<Call> allocations;
std::vector<Call> frees;
bool fail_allocations = false;

void* recording_allocate(std::size_t bytes, std::size_t alignment) {
    void* storage = fail_allocations ? nullptr : ostrel_local::alloc::thread_alloc(bytes, alignment);
    allocations.push_back({storage, bytes, alignment});
    return storage;
}

void recording_free(void* storage, std::size_t bytes, std::size_t alignment) {
    frees.push_back({storage, bytes, alignment});
    ostrel_local::free::thread_free(storage, bytes, alignment);
}

constexpr detail::AllocationHooks recording_hooks{recording_allocate, recording_free};

class AlignedRecordedTest : public ::testing::Test {
protected:
    void SetUp() override {
        allocations.clear();
        frees.clear();
        fail_allocations = false;
        detail::set_allocation_hooks(&recording_hooks);
    }
    void TearDown() override { detail::set_allocation_hooks(nullptr); }
};

std::string internal_error_of(auto&& action) {
    try {
        action();
    } catch (const kavrel::domain::error::InternalError& error) {
        return error.what();
    }
    return "(no internal error)";
}

template <class T>
void check_fill_and_read_back(std::uint64_t capacity) {
    SCOPED_TRACE("element bytes " + std::to_string(sizeof(T)) + ", capacity " + std::to_string(capacity));
    auto buffer = AlignedVec<T>::with_capacity(capacity);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % 64, 0u);
    EXPECT_EQ(buffer.capacity(), capacity);
    EXPECT_EQ(buffer.len(), 0u);
    T* data = buffer.data();
    for (std::uint64_t i = 0; i < capacity; ++i) data[i] = static_cast<T>(i % 4096) + T(0.5);
    buffer.set_len(capacity);
    EXPECT_EQ(buffer.len(), capacity);
    for (std::uint64_t i = 0; i < capacity; ++i) {
        if (data[i] != static_cast<T>(i % 4096) + T(0.5)) {
            ADD_FAILURE() << "element " << i << " lost its value";
            break;
        }
    }
}

TEST(AlignedVecTest, AlignedStorageHoldsEveryElement) {
    // Both sides of the 16 KiB small/large boundary and of several size classes.
    for (std::uint64_t capacity : {1u, 2u, 3u, 7u, 15u, 16u, 17u, 100u, 1000u, 2047u, 2048u, 2049u, 4096u, 4097u,
                                   65536u, 1u << 20}) {
        check_fill_and_read_back<float>(capacity);
        check_fill_and_read_back<double>(capacity);
    }
}

TEST_F(AlignedRecordedTest, ZeroCapacityTakesAndFreesNothing) {
    {
        auto buffer = AlignedVec<double>::with_capacity(0);
        EXPECT_NE(buffer.data(), nullptr);
        EXPECT_EQ(buffer.capacity(), 0u);
        EXPECT_EQ(buffer.len(), 0u);
        EXPECT_EQ(buffer.alignment(), 64u);
        auto empty_f32 = AlignedVec<float>::with_capacity(0);
        EXPECT_NE(empty_f32.data(), nullptr);
    }
    EXPECT_TRUE(allocations.empty());
    EXPECT_TRUE(frees.empty());
}

TEST_F(AlignedRecordedTest, FreesWithTheSizeAndAlignmentOfItsAllocation) {
    struct Row {
        std::uint64_t capacity;
        bool is_double;
        std::uint64_t set_length;
        std::size_t bytes;
    };
    const Row rows[] = {
        {1, true, 0, 8},         {1, true, 1, 8},         {5, false, 0, 20},         {5, false, 3, 20},
        {2049, true, 17, 16392}, {4097, false, 4097, 16388}, {100000, true, 99999, 800000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("capacity " + std::to_string(row.capacity) + (row.is_double ? " f64" : " f32") + ", length " +
                     std::to_string(row.set_length));
        allocations.clear();
        frees.clear();
        void* storage = nullptr;
        if (row.is_double) {
            auto buffer = AlignedVec<double>::with_capacity(row.capacity);
            buffer.set_len(row.set_length);
            storage = buffer.data();
        } else {
            auto buffer = AlignedVec<float>::with_capacity(row.capacity);
            buffer.set_len(row.set_length);
            storage = buffer.data();
        }
        ASSERT_EQ(allocations.size(), 1u);
        ASSERT_EQ(frees.size(), 1u);
        EXPECT_EQ(allocations[0].bytes, row.bytes);
        EXPECT_EQ(allocations[0].alignment, 64u);
        EXPECT_EQ(allocations[0].storage, storage);
        EXPECT_EQ(frees[0].storage, storage);
        EXPECT_EQ(frees[0].bytes, row.bytes);
        EXPECT_EQ(frees[0].alignment, 64u);
    }
}

TEST_F(AlignedRecordedTest, MovedBufferIsFreedOnce) {
    {
        auto first = AlignedVec<float>::with_capacity(32);
        void* storage = first.data();
        AlignedVec<float> second(std::move(first));
        EXPECT_EQ(first.capacity(), 0u);
        EXPECT_EQ(second.data(), storage);
        auto third = AlignedVec<float>::with_capacity(8);
        third = std::move(second);  // frees third's own storage first
        ASSERT_EQ(frees.size(), 1u);
        EXPECT_EQ(frees[0].bytes, 32u);
        EXPECT_EQ(third.data(), storage);
        EXPECT_EQ(third.capacity(), 32u);
    }
    ASSERT_EQ(allocations.size(), 2u);
    ASSERT_EQ(frees.size(), 2u);
    EXPECT_EQ(frees[1].storage, allocations[0].storage);
    EXPECT_EQ(frees[1].bytes, 128u);
}

TEST_F(AlignedRecordedTest, ByteSizeOverflowStopsBeforeAllocating) {
    struct Row {
        std::uint64_t capacity;
        bool is_double;
        const char* message;
    };
    constexpr const char* overflow = "Capacity overflow";
    constexpr const char* layout = "align is power-of-2, size validated by checked_mul";
    const Row rows[] = {
        {std::uint64_t{1} << 61, true, overflow},
        {std::uint64_t{1} << 61, false, layout},  // exactly 2^63 bytes
        {std::uint64_t{1} << 62, false, overflow},
        {(std::uint64_t{1} << 61) - 1, true, layout},  // 2^64 - 8 bytes: fits 64 bits, not a layout
        {(std::uint64_t{1} << 60) - 7, true, layout},   // 2^63 - 56 bytes
        {(std::uint64_t{1} << 61) - 15, false, layout},  // 2^63 - 60 bytes
        {UINT64_MAX, true, overflow},
        {UINT64_MAX, false, overflow},
        {(std::uint64_t{1} << 63) + 1, false, overflow},  // wraps to a small product if unchecked
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("capacity " + std::to_string(row.capacity) + (row.is_double ? " f64" : " f32"));
        std::string message = row.is_double
                                  ? internal_error_of([&] { (void)AlignedVec<double>::with_capacity(row.capacity); })
                                  : internal_error_of([&] { (void)AlignedVec<float>::with_capacity(row.capacity); });
        EXPECT_EQ(message, row.message);
    }
    EXPECT_TRUE(allocations.empty());
    EXPECT_TRUE(frees.empty());
}

TEST(AlignedVecTest, LargestValidLayoutPassesTheSizeCheck) {
    // 2^63 - 64 bytes is the last size accepted; allocating it would end the process, so
    // only the check is run.
    EXPECT_EQ(detail::checked_storage_bytes((std::uint64_t{1} << 60) - 8, 8, 64), (std::uint64_t{1} << 63) - 64);
    EXPECT_EQ(detail::checked_storage_bytes((std::uint64_t{1} << 61) - 16, 4, 64), (std::uint64_t{1} << 63) - 64);
}

TEST(AlignedVecTest, LengthAboveCapacityIsAnInternalError) {
    auto buffer = AlignedVec<double>::with_capacity(4);
    buffer.set_len(4);
    EXPECT_EQ(internal_error_of([&] { buffer.set_len(5); }), "invariant: aligned buffer length above its capacity");
    EXPECT_EQ(buffer.len(), 4u);
    auto empty = AlignedVec<float>::with_capacity(0);
    EXPECT_EQ(internal_error_of([&] { empty.set_len(1); }), "invariant: aligned buffer length above its capacity");
}

TEST(AlignedVecDeathTest, AllocationFailureEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            fail_allocations = true;
            detail::set_allocation_hooks(&recording_hooks);
            (void)AlignedVec<double>::with_capacity(3);
        },
        "memory allocation of 24 bytes failed");
}

// Live buffers of mixed sizes must never overlap: an under-sized allocation would let one
// buffer's pattern overwrite another's.
TEST(AlignedVecTest, ManyLiveBuffersKeepTheirContents) {
    constexpr int rounds = 200;
    constexpr int live = 48;
    for (int round = 0; round < rounds; ++round) {
        std::vector<AlignedVec<float>> buffers;
        for (int b = 0; b < live; ++b) {
            std::uint64_t capacity = 1 + static_cast<std::uint64_t>((b * 977 + round * 131) % 6000);
            buffers.push_back(AlignedVec<float>::with_capacity(capacity));
            AlignedVec<float>& buffer = buffers.back();
            ASSERT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % 64, 0u);
            for (std::uint64_t i = 0; i < capacity; ++i) buffer.data()[i] = static_cast<float>(b);
        }
        for (int b = 0; b < live; ++b) {
            const AlignedVec<float>& buffer = buffers[static_cast<std::size_t>(b)];
            for (std::uint64_t i = 0; i < buffer.capacity(); ++i) {
                ASSERT_EQ(buffer.data()[i], static_cast<float>(b)) << "round " << round << " buffer " << b;
            }
        }
    }
}

TEST(AlignedVecTest, DroppedOnAnotherThread) {
    constexpr int count = 2000;
    // Created here, dropped on another thread, then the same sizes again here: the
    // allocator takes the foreign frees back and the new buffers must still be sound.
    for (int pass = 0; pass < 3; ++pass) {
        SCOPED_TRACE("pass " + std::to_string(pass));
        std::vector<AlignedVec<double>> buffers;
        for (int i = 0; i < count; ++i) {
            buffers.push_back(AlignedVec<double>::with_capacity(1 + static_cast<std::uint64_t>(i % 300)));
            buffers.back().data()[0] = i;
        }
        std::thread dropper([moved = std::move(buffers)]() mutable {
            for (int i = 0; i < count; ++i) {
                if (moved[static_cast<std::size_t>(i)].data()[0] != i) ADD_FAILURE() << "buffer " << i;
            }
            moved.clear();
        });
        dropper.join();
    }
    // Created on another thread, dropped here.
    std::vector<AlignedVec<float>> made_elsewhere;
    std::thread maker([&] {
        for (int i = 0; i < count; ++i) {
            made_elsewhere.push_back(AlignedVec<float>::with_capacity(1 + static_cast<std::uint64_t>(i % 5000)));
            made_elsewhere.back().data()[made_elsewhere.back().capacity() - 1] = static_cast<float>(i);
        }
    });
    maker.join();
    for (int i = 0; i < count; ++i) {
        const AlignedVec<float>& buffer = made_elsewhere[static_cast<std::size_t>(i)];
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % 64, 0u);
        EXPECT_EQ(buffer.data()[buffer.capacity() - 1], static_cast<float>(i));
    }
    made_elsewhere.clear();
    check_fill_and_read_back<float>(5000);
}

}  // namespace
