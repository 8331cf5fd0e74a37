#include "ostrel_prof/stack.hpp"

#include <gtest/gtest.h>

#include <array>
#include <set>

#include "kavrel/domain/error/error.hpp"

namespace {

namespace stack = ostrel_prof::stack;
using Frames32 = std::array<std::uintptr_t, stack::MAX_FRAMES>;

volatile int sink = 0;

// Recurses `depth` times, then captures; the work after the call keeps it from being a
// tail call, so every level leaves a frame.
__attribute__((noinline)) std::uint32_t capture_at_depth(int depth, Frames32& out) {
    if (depth == 0) return stack::capture_stack_frames(std::span<std::uintptr_t, stack::MAX_FRAMES>(out));
    std::uint32_t stored = capture_at_depth(depth - 1, out);
    sink = depth;
    return stored;
}

TEST(OstrelProfStackTest, DeepStacksAreCutToTheInnermost32Frames) {
    Frames32 shallow{}, deep{};
    std::uint32_t shallow_depth = capture_at_depth(0, shallow);
    std::uint32_t deep_depth = capture_at_depth(50, deep);
    ASSERT_GT(shallow_depth, 1u);
    EXPECT_LT(shallow_depth, stack::MAX_FRAMES);
    ASSERT_EQ(deep_depth, stack::MAX_FRAMES);
    // Both walks begin in the same place...
    EXPECT_EQ(deep[0], shallow[0]);
    // ...and the deep one ends inside the recursion, whose levels all return to one address.
    for (std::uint32_t i = stack::MAX_FRAMES - 8; i < stack::MAX_FRAMES; ++i) EXPECT_EQ(deep[i], deep[i - 1]) << i;
    for (std::uint32_t i = 0; i < deep_depth; ++i) EXPECT_NE(deep[i], 0u);
}

TEST(OstrelProfStackTest, EqualSequencesShareOneCountedEntry) {
    const std::array<std::uintptr_t, 3> frames{0x1000, 0x2000, 0x3000};
    stack::StackId first = stack::intern_stack(frames);
    stack::StackId second = stack::intern_stack(frames);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first >> stack::SHARD_SHIFT, stack::shard_of_frames(frames));
    EXPECT_EQ(stack::detail::references_of(first), 2u);
    stack::release_stack(first);
    EXPECT_EQ(stack::detail::references_of(first), 1u);
    stack::release_stack(first);
    EXPECT_EQ(stack::detail::references_of(first), std::nullopt);
    stack::release_stack(first);  // an id without an entry is ignored
    EXPECT_NE(stack::intern_stack(std::array<std::uintptr_t, 1>{0x4000}), first + 0x7FFFFFFu);
}

TEST(OstrelProfStackTest, FreedSlotIsReusedByTheNextNewStackOfItsShard) {
    const std::array<std::uintptr_t, 2> target{0xAAAA, 0xBBBB};
    std::uint32_t shard = stack::shard_of_frames(target);
    // Find other sequences that land in the same shard.
    std::vector<std::array<std::uintptr_t, 2>> same_shard;
    for (std::uintptr_t x = 1; same_shard.size() < 2; ++x) {
        std::array<std::uintptr_t, 2> candidate{x, 0xC0FFEE};
        if (stack::shard_of_frames(candidate) == shard) same_shard.push_back(candidate);
    }
    stack::StackId kept = stack::intern_stack(same_shard[0]);
    stack::StackId dropped = stack::intern_stack(target);
    EXPECT_NE(kept, dropped);
    stack::release_stack(dropped);
    stack::StackId reused = stack::intern_stack(same_shard[1]);
    EXPECT_EQ(reused, dropped) << "same shard, same slot index";
    EXPECT_EQ(stack::detail::references_of(kept), 1u);
    EXPECT_EQ(stack::intern_stack(target), stack::make_stack_id(shard, (reused & stack::INDEX_MASK) + 1));
}

TEST(OstrelProfStackTest, ReferenceCountOverflowIsAnInternalError) {
    const std::array<std::uintptr_t, 1> frames{0x5151};
    stack::StackId id = stack::intern_stack(frames);
    stack::detail::set_references(id, UINT64_MAX);
    try {
        stack::intern_stack(frames);
        FAIL() << "no internal error";
    } catch (const kavrel::domain::error::InternalError& error) {
        EXPECT_STREQ(error.what(), "invariant: stack interner reference count overflow");
    }
    EXPECT_EQ(stack::detail::references_of(id), UINT64_MAX);
}

TEST(OstrelProfStackTest, SlotIndicesHave26Bits) {
    EXPECT_TRUE(stack::slot_index_fits((1u << 26) - 1));
    EXPECT_FALSE(stack::slot_index_fits(1u << 26));
    EXPECT_EQ(stack::make_stack_id(63, (1u << 26) - 1), 0xFFFFFFFFu);
    EXPECT_EQ(stack::make_stack_id(1, 5), (1u << 26) | 5u);
}

}  // namespace
