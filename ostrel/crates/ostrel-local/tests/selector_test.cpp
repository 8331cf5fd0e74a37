#include "ostrel_local/selector.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

namespace selector = ostrel_local::selector;
using selector::NO_CLASS;

TEST(OstrelSelectorTest, ClassTablesMatchTheirDefinition) {
    const std::uint16_t capacities[selector::SIZE_CLASSES] = {
        4096, 2048, 1365, 1024, 819, 682, 585, 512, 409, 341, 292, 256, 227, 204, 186, 170, 157, 146,
        136,  128,  102,  85,   73,  64,  56,  51,  46,  42,  39,  36,  34,  32,  25,  21,  18,  16,
        14,   12,   11,   10,   9,   9,   8,   8,   7,   6,   5,   5,   4,   4,   4,   4};
    const std::uint16_t firsts[] = {16, 160, 640, 2560, 9216};
    const std::uint16_t steps[] = {16, 32, 128, 512, 1024};
    const std::uint32_t run_starts[] = {0, 8, 20, 32, 44, 52};
    for (std::uint32_t run = 0; run < 5; ++run) {
        for (std::uint32_t c = run_starts[run]; c < run_starts[run + 1]; ++c) {
            SCOPED_TRACE(c);
            EXPECT_EQ(selector::CLASS_BLOCK_SIZE[c], firsts[run] + (c - run_starts[run]) * steps[run]);
            EXPECT_EQ(selector::CLASS_PAGE_CAPACITY[c], capacities[c]);
        }
    }
    EXPECT_EQ(selector::CLASS_BLOCK_SIZE[51], 16384);
}

TEST(OstrelSelectorTest, SizeIndexNamesTheSmallestFittingClass) {
    for (std::uint32_t i = 0; i <= 1024; ++i) {
        SCOPED_TRACE(i);
        std::uint8_t c = selector::SIZE_CLASS_INDEX[i];
        ASSERT_LT(c, selector::SIZE_CLASSES);
        EXPECT_GE(selector::CLASS_BLOCK_SIZE[c], 16 * i);
        if (c > 0) {
            EXPECT_LT(selector::CLASS_BLOCK_SIZE[c - 1], 16 * i);
        }
    }
}

TEST(OstrelSelectorTest, SmallRequestRule) {
    struct Row {
        std::size_t size, alignment;
        std::uint8_t expected;
    };
    const Row rows[] = {
        {8, 64, 3},         {1, 64, 3},          {64, 64, 3},       {65, 64, 7},        {16384, 64, 51},
        {16385, 64, NO_CLASS}, {16384, 8, 51},   {32768, 8, NO_CLASS}, {128, 8, 7},     {129, 8, 8},
        {0, 8, 0},          {1, 1, 0},           {17, 16, 1},       {100, 32, 7},       {300, 256, 19},
        {1, 4096, 35},      {1, 16384, 51},      {1, 32768, NO_CLASS}, {5, 3, NO_CLASS}, {5, 0, NO_CLASS},
        {SIZE_MAX, 64, NO_CLASS}, {SIZE_MAX, 8, NO_CLASS}, {16383, 8192, 51},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.size << " aligned " << row.alignment);
        EXPECT_EQ(selector::small_class(row.size, row.alignment), row.expected);
    }
}

TEST(OstrelSelectorTest, EverySmallClassHoldsTheRequestAtItsAlignment) {
    for (std::size_t alignment = 1; alignment <= 32768; alignment *= 2) {
        for (std::size_t size = 1; size <= 17000; size += 7) {
            std::uint8_t c = selector::small_class(size, alignment);
            bool small = std::max(size, alignment) <= selector::SMALL_LIMIT;
            ASSERT_EQ(c != NO_CLASS, small) << size << " aligned " << alignment;
            if (c == NO_CLASS) continue;
            ASSERT_GE(selector::CLASS_BLOCK_SIZE[c], std::max(size, alignment));
            ASSERT_EQ(selector::CLASS_BLOCK_SIZE[c] % std::max<std::size_t>(alignment, 16), 0u);
        }
    }
}

}  // namespace
