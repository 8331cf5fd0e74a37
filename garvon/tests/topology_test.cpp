#include "garvon/topology/cpu/topology.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <type_traits>

#include "fixture_tree.hpp"
#include "garvon/law/invariant.hpp"

namespace {

using garvon::topology::cpu::topology::CpuTopology;
using garvon::topology::types::cpu::NumaNode;

static_assert(std::is_nothrow_move_constructible_v<CpuTopology>);
static_assert(std::is_same_v<garvon::law::identity::NumaNodeId, std::uint32_t>);
static_assert(std::is_same_v<garvon::topology::types::cpu::CoreId, std::uint32_t>);

CpuTopology expected_single_node(std::uint32_t processors) {
    CpuTopology topology;
    NumaNode node;
    for (std::uint32_t p = 0; p < processors; ++p) node.cpus.push_back(p);
    node.distances = {10};
    node.id = 0;
    topology.nodes = {node};
    topology.processor_to_node.assign(processors, 0);
    topology.node_to_index = {0};
    topology.logical_processors = processors;
    return topology;
}

TEST(GarvonTopologyTest, SingleNodeFallback) {
    struct Case {
        std::uint64_t requested;
        std::uint32_t processors;
    };
    for (Case c : {Case{0, 1}, Case{1, 1}, Case{2, 2}, Case{4, 4}, Case{33, 33}}) {
        SCOPED_TRACE("requested " + std::to_string(c.requested));
        CpuTopology topology = CpuTopology::single_node(c.requested);
        EXPECT_EQ(topology, expected_single_node(c.processors));
        EXPECT_TRUE(topology.adjacency.empty());
        EXPECT_FALSE(topology.caches || topology.efficiency_classes || topology.core_ids);
    }
}

TEST(GarvonTopologyTest, SingleNodeRejectsCountsBeyond32Bits) {
    for (std::uint64_t requested : {std::uint64_t{1} << 32, ~std::uint64_t{0}}) {
        SCOPED_TRACE("requested " + std::to_string(requested));
        try {
            (void)CpuTopology::single_node(requested);
            ADD_FAILURE() << "no internal error";
        } catch (const garvon::law::invariant::InternalError& error) {
            EXPECT_TRUE(std::string(error.what()).starts_with(
                "invariant: logical processor count must fit a u32 processor id"))
                << error.what();
        }
    }
}

}  // namespace
