#include "garvon/topology/cpu/tables.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "garvon/law/invariant.hpp"

namespace {

namespace tables = garvon::topology::cpu::tables;
using garvon::law::invariant::InternalError;
using garvon::topology::types::cpu::NumaNode;
using Ids = std::vector<std::uint32_t>;
constexpr std::uint64_t none = tables::absent_node_index;

NumaNode node(std::uint32_t id, std::vector<std::uint32_t> distances = {}) {
    return NumaNode{{}, std::move(distances), id};
}

std::vector<NumaNode> nodes_with_ids(const Ids& ids) {
    std::vector<NumaNode> nodes;
    for (std::uint32_t id : ids) nodes.push_back(node(id));
    return nodes;
}

std::string internal_error_message(const std::function<void()>& action) {
    try {
        action();
    } catch (const InternalError& error) {
        return error.what();
    }
    return "(no internal error)";
}

TEST(GarvonTablesTest, NodeToIndexTable) {
    struct Case {
        Ids ids;
        std::vector<std::uint64_t> expected;
    };
    std::vector<std::uint64_t> top_id(1024, none);
    top_id[0] = 0;
    top_id[1023] = 1;
    const std::vector<Case> cases = {
        {{0, 2}, {0, none, 1}},
        {{}, {none}},
        {{0}, {0}},
        {{3}, {none, none, none, 0}},
        {{1, 4, 5}, {none, 0, none, none, 1, 2}},
        // The table maps ids to positions as given, whatever their order.
        {{2, 0}, {1, none, 0}},
        {{0, 1023}, top_id},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        EXPECT_EQ(tables::build_node_to_index(nodes_with_ids(cases[i].ids)), cases[i].expected);
    }
}

TEST(GarvonTablesTest, NodeToIndexRejectsLargeAndDuplicateIds) {
    struct Case {
        Ids ids;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{0, 1024}, "invariant check failed: NUMA node ID 1024 exceeds maximum limit of 1024"},
        {{4000000000u}, "invariant check failed: NUMA node ID 4000000000 exceeds maximum limit of 1024"},
        {{1, 1}, "invariant check failed: duplicate NUMA node ID 1 found in topology"},
        {{0, 3, 5, 3}, "invariant check failed: duplicate NUMA node ID 3 found in topology"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        auto nodes = nodes_with_ids(c.ids);
        EXPECT_EQ(internal_error_message([&] { (void)tables::build_node_to_index(nodes); }), c.message);
    }
}

TEST(GarvonTablesTest, AdjacencyTable) {
    struct Case {
        std::string name;
        std::vector<NumaNode> nodes;
        Ids expected;
    };
    const std::vector<Case> cases = {
        {"no nodes", {}, {}},
        {"one node", {node(0, {10})}, {}},
        {"two nodes", {node(0, {10, 21}), node(1, {21, 10})}, {1, 0}},
        {"nearest first",
         {node(0, {10, 20, 15}), node(1, {20, 10, 20}), node(2, {15, 20, 10})},
         {2, 1, 0, 2, 0, 1}},
        {"ties keep id order", {node(0, {10, 20, 20}), node(1, {20, 10, 20}), node(2, {20, 20, 10})},
         {1, 2, 0, 2, 0, 1}},
        // Sparse ids 0, 2, 5 with three-value rows: the rows cannot cover id 5, so they
        // are read by position (by id, node 5 would be missing and come first at 20).
        {"sparse ids by position",
         {node(0, {10, 25, 40}), node(2, {25, 10, 30}), node(5, {40, 30, 10})},
         {2, 5, 0, 5, 2, 0}},
        // Ids 0, 1, 3 with four-value rows cover every id, so they are read by id (by
        // position, node 3 would take R[2] = 20 and come first).
        {"rows covering every id",
         {node(0, {10, 30, 20, 40}), node(1, {30, 10, 99, 15}), node(3, {40, 15, 99, 10})},
         {1, 3, 3, 0, 1, 0}},
        // Ids 0, 1, 3 with three-value rows: one value short of covering id 3, so still
        // by position (by id, node 3 would be missing at 20 and come first).
        {"rows one short of the largest id",
         {node(0, {10, 22, 25}), node(1, {22, 10, 5}), node(3, {25, 5, 10})},
         {1, 3, 3, 0, 1, 0}},
        {"sparse pair by position", {node(0, {10, 33}), node(2, {33, 10})}, {2, 0}},
        {"short row counts missing as 20", {node(0, {10, 25}), node(1, {25, 10, 30}), node(2, {20, 30, 10})},
         {2, 1, 0, 2, 0, 1}},
        {"empty row", {node(0, {}), node(1, {5, 10, 30}), node(2, {25, 30, 10})}, {1, 2, 0, 2, 0, 1}},
        {"longer rows ignore extra values", {node(0, {10, 7, 3, 1}), node(1, {7, 10, 0, 0})}, {1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(tables::build_adjacent_nodes(c.nodes), c.expected);
    }
}

// Past 128 nodes the rows are sorted in a heap area; both paths must agree on a stable
// nearest-first order. Distances cycle through three values, so each row is the ids with
// j % 3 == 0, then 1, then 2, each group in ascending id order.
TEST(GarvonTablesTest, AdjacencyOfManyNodesIsStableOnBothScratchPaths) {
    for (std::uint32_t n : {128u, 129u, 130u, 300u}) {
        SCOPED_TRACE("nodes: " + std::to_string(n));
        std::vector<NumaNode> nodes;
        for (std::uint32_t id = 0; id < n; ++id) {
            std::vector<std::uint32_t> row(n);
            for (std::uint32_t j = 0; j < n; ++j) row[j] = j == id ? 10 : 40 - 10 * (j % 3);
            nodes.push_back(node(id, row));
        }
        Ids expected;
        for (std::uint32_t k = 0; k < n; ++k) {
            for (std::uint32_t group : {2u, 1u, 0u}) {
                for (std::uint32_t j = 0; j < n; ++j) {
                    if (j != k && j % 3 == group) expected.push_back(j);
                }
            }
        }
        Ids adjacency = tables::build_adjacent_nodes(nodes);
        EXPECT_EQ(adjacency.size(), std::size_t{n} * (n - 1));
        EXPECT_EQ(adjacency, expected);
    }
}

TEST(GarvonTablesTest, FillAdjacencyRowWritesSortedPairs) {
    std::vector<NumaNode> nodes = {node(0), node(1), node(2), node(3)};
    std::vector<tables::DistancePair> scratch(3, {77, 77});
    std::vector<std::uint32_t> row = {21, 10, 31};  // too short for id 3, so read by position
    std::size_t written = tables::fill_adjacency_row(1, row, nodes, 3, scratch);
    ASSERT_EQ(written, 3u);
    std::vector<tables::DistancePair> expected = {{3, 20}, {0, 21}, {2, 31}};
    EXPECT_EQ(scratch, expected);
}

TEST(GarvonTablesTest, FillAdjacencyRowRejectsShortScratch) {
    std::vector<NumaNode> nodes = {node(0), node(1), node(2)};
    std::vector<tables::DistancePair> scratch(1);
    std::vector<std::uint32_t> row = {10, 20, 30};
    EXPECT_EQ(internal_error_message([&] { (void)tables::fill_adjacency_row(0, row, nodes, 2, scratch); }),
              "invariant: adjacency scratch shorter than the node count minus one");
    EXPECT_EQ(internal_error_message([&] { (void)tables::fill_adjacency_row(3, row, nodes, 2, scratch); }),
              "invariant: adjacency row for a node outside the node array");
}

}  // namespace
