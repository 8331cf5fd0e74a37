#include "garvon/topology/cpu/efficiency/efficiency.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using garvon::topology::cpu::efficiency::classes_from_capacities;
using Classes = std::optional<std::vector<std::uint8_t>>;

std::vector<std::uint32_t> descending(std::uint32_t count) {
    std::vector<std::uint32_t> values;
    for (std::uint32_t i = count; i > 0; --i) values.push_back(1000 + 3 * i);
    return values;
}

std::vector<std::uint8_t> descending_classes(std::uint32_t count) {
    std::vector<std::uint8_t> classes;
    for (std::uint32_t i = count; i > 0; --i) classes.push_back(static_cast<std::uint8_t>(i - 1));
    return classes;
}

TEST(GarvonEfficiencyTest, RanksValuesAmongDistinctOnes) {
    struct Case {
        std::string name;
        std::vector<std::uint32_t> values;
        std::uint64_t processors;
        Classes expected;
    };
    const std::vector<Case> cases = {
        {"two capacities", {1024, 512, 1024, 512}, 4, std::vector<std::uint8_t>{1, 0, 1, 0}},
        {"one distinct value", {7, 7, 7}, 3, std::vector<std::uint8_t>{0, 0, 0}},
        {"single processor", {5}, 1, std::vector<std::uint8_t>{0}},
        {"unsigned order", {0, 4294967295u, 5, 4294967295u}, 4, std::vector<std::uint8_t>{0, 2, 1, 2}},
        {"gaps do not matter", {10, 1000000, 20}, 3, std::vector<std::uint8_t>{0, 2, 1}},
        {"256 distinct values", descending(256), 256, descending_classes(256)},
        {"257 distinct values", descending(257), 257, std::nullopt},
        {"fewer values than processors", {1, 2, 3, 4}, 5, std::nullopt},
        {"more values than processors", {1, 2, 3, 4}, 3, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(classes_from_capacities(c.values, c.processors), c.expected);
    }
}

TEST(GarvonEfficiencyTest, ManyProcessorsWithFewDistinctValues) {
    std::vector<std::uint32_t> values;
    std::vector<std::uint8_t> expected;
    for (std::uint32_t p = 0; p < 4096; ++p) {
        values.push_back(p % 2 == 0 ? 1024 : 300);
        expected.push_back(p % 2 == 0 ? 1 : 0);
    }
    EXPECT_EQ(classes_from_capacities(values, values.size()), Classes(expected));
}

}  // namespace
