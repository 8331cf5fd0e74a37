// Node tables derived from a node array: the id-to-position table and the adjacency
// table that lists, for each node, all other nodes nearest first. Both are pure; a
// broken limit (id of 1024 or more, a repeated id) is an internal error.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "garvon/law/identity.hpp"
#include "garvon/topology/types/cpu.hpp"

namespace garvon::topology::cpu::tables {

// Entry of node_to_index for an id that no node has.
inline constexpr std::uint64_t absent_node_index = ~std::uint64_t{0};
// Distance assumed when a row has no entry for a node.
inline constexpr std::uint32_t missing_distance = 20;
// Rows of up to this many other nodes are sorted in a fixed area, without heap allocation.
inline constexpr std::size_t fixed_scratch_pairs = 128;

using DistancePair = std::pair<law::identity::NumaNodeId, std::uint32_t>;

// Indexed by node id: the node's position in nodes, absent_node_index where no node has
// the id. Length = largest id + 1 (one entry for an empty array).
// Throws InternalError for an id of 1024 or more or a repeated id.
[[nodiscard]] std::vector<std::uint64_t> build_node_to_index(std::span<const types::cpu::NumaNode> nodes);

// n * (n - 1) ids: the row of node k at [k * (n - 1), (k + 1) * (n - 1)); empty when n < 2.
[[nodiscard]] std::vector<law::identity::NumaNodeId> build_adjacent_nodes(
    std::span<const types::cpu::NumaNode> nodes);

// Writes the (id, distance) pairs of every node other than nodes[k] into scratch, sorted
// by distance with ties kept in nodes order, and returns how many (n - 1).
// The row is read by node id when it covers every id (largest_id < row length), else by
// position in nodes; an index past its end counts as missing_distance.
// Requires: k < nodes.size(), scratch.size() >= nodes.size() - 1.
std::size_t fill_adjacency_row(std::size_t k, std::span<const std::uint32_t> row,
                               std::span<const types::cpu::NumaNode> nodes,
                               law::identity::NumaNodeId largest_id, std::span<DistancePair> scratch);

}  // namespace garvon::topology::cpu::tables
