#include "garvon/topology/cpu/topology.hpp"

#include <limits>
#include <numeric>

#include "garvon/law/invariant.hpp"
#include "garvon/topology/cpu/tables.hpp"

namespace garvon::topology::cpu::topology {
namespace {

constexpr std::uint32_t local_distance = 10;

}  // namespace

CpuTopology CpuTopology::single_node(std::uint64_t processors) {
    if (processors > std::numeric_limits<std::uint32_t>::max()) {
        std::string message = "invariant: logical processor count must fit a u32 processor id, got ";
        message += kavrel::domain::error::format_decimal(processors);
        law::invariant::fail(message);
    }
    const std::uint64_t count = processors == 0 ? 1 : processors;

    types::cpu::NumaNode node;
    node.cpus.resize(count);
    std::iota(node.cpus.begin(), node.cpus.end(), std::uint32_t{0});
    node.distances = {local_distance};
    node.id = 0;

    CpuTopology topology;
    topology.nodes.push_back(std::move(node));
    topology.processor_to_node.assign(count, 0);
    topology.node_to_index = tables::build_node_to_index(topology.nodes);
    topology.logical_processors = count;
    return topology;
}

}  // namespace garvon::topology::cpu::topology
