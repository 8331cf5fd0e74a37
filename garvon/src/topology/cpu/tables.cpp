#include "garvon/topology/cpu/tables.hpp"

#include <algorithm>
#include <array>

#include "garvon/law/invariant.hpp"

namespace garvon::topology::cpu::tables {
namespace {

using law::identity::NumaNodeId;
using types::cpu::NumaNode;

NumaNodeId largest_node_id(std::span<const NumaNode> nodes) {
    NumaNodeId largest = 0;
    for (const NumaNode& node : nodes) largest = std::max(largest, node.id);
    return largest;
}

bool nearer(const DistancePair& a, const DistancePair& b) {
    return a.second < b.second;
}

// Insertion sort: stable and allocation-free, and quick for the few nodes of real
// machines. std::stable_sort may take a heap buffer, so it serves only rows too long
// for the fixed scratch area, which are on the heap already.
void stable_sort_by_distance(std::span<DistancePair> pairs) {
    if (pairs.size() > fixed_scratch_pairs) {
        std::stable_sort(pairs.begin(), pairs.end(), nearer);
        return;
    }
    for (std::size_t i = 1; i < pairs.size(); ++i) {
        DistancePair moving = pairs[i];
        std::size_t j = i;
        while (j > 0 && nearer(moving, pairs[j - 1])) {
            pairs[j] = pairs[j - 1];
            --j;
        }
        pairs[j] = moving;
    }
}

}  // namespace

std::vector<std::uint64_t> build_node_to_index(std::span<const NumaNode> nodes) {
    NumaNodeId largest = largest_node_id(nodes);
    if (largest >= law::identity::max_node_ids) {
        std::string message = "invariant check failed: NUMA node ID ";
        message += kavrel::domain::error::format_decimal(largest);
        message += " exceeds maximum limit of ";
        message += kavrel::domain::error::format_decimal(law::identity::max_node_ids);
        law::invariant::fail(message);
    }
    std::vector<std::uint64_t> table(std::size_t{largest} + 1, absent_node_index);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        std::uint64_t& entry = table[nodes[i].id];
        if (entry != absent_node_index) {
            std::string message = "invariant check failed: duplicate NUMA node ID ";
            message += kavrel::domain::error::format_decimal(nodes[i].id);
            message += " found in topology";
            law::invariant::fail(message);
        }
        entry = i;
    }
    return table;
}

std::vector<NumaNodeId> build_adjacent_nodes(std::span<const NumaNode> nodes) {
    const std::size_t n = nodes.size();
    std::vector<NumaNodeId> adjacency;
    if (n < 2) return adjacency;
    NumaNodeId largest = largest_node_id(nodes);
    adjacency.reserve(n * (n - 1));

    std::array<DistancePair, fixed_scratch_pairs> fixed_scratch;
    std::vector<DistancePair> heap_scratch;
    std::span<DistancePair> scratch(fixed_scratch);
    if (n > fixed_scratch_pairs) {
        heap_scratch.resize(n - 1);
        scratch = heap_scratch;
    }
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t written = fill_adjacency_row(k, nodes[k].distances, nodes, largest, scratch);
        for (std::size_t j = 0; j < written; ++j) adjacency.push_back(scratch[j].first);
    }
    return adjacency;
}

std::size_t fill_adjacency_row(std::size_t k, std::span<const std::uint32_t> row,
                               std::span<const NumaNode> nodes, NumaNodeId largest_id,
                               std::span<DistancePair> scratch) {
    if (k >= nodes.size()) law::invariant::fail("invariant: adjacency row for a node outside the node array");
    if (scratch.size() < nodes.size() - 1) {
        law::invariant::fail("invariant: adjacency scratch shorter than the node count minus one");
    }
    // A row that covers every id is indexed by id (sparse ids keep their slots); a
    // shorter one is taken as one value per node in array order.
    const bool by_id = std::size_t{largest_id} < row.size();
    std::size_t written = 0;
    for (std::size_t j = 0; j < nodes.size(); ++j) {
        if (j == k) continue;
        std::size_t index = by_id ? std::size_t{nodes[j].id} : j;
        std::uint32_t distance = index < row.size() ? row[index] : missing_distance;
        scratch[written++] = DistancePair{nodes[j].id, distance};
    }
    stable_sort_by_distance(scratch.first(written));
    return written;
}

}  // namespace garvon::topology::cpu::tables
