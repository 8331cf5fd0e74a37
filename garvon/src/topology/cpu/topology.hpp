// CpuTopology: the machine the process runs on, as one immutable value. Built once by
// single_node (the fallback) or by detection from sysfs, read field by field by its
// consumers and dropped by its owner; garvon keeps no topology of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "garvon/law/identity.hpp"
#include "garvon/topology/types/cpu.hpp"

namespace garvon::topology::cpu::topology {

// Entry of processor_to_node for a processor that no node lists.
inline constexpr std::uint32_t unlisted_processor = 0xFFFFFFFF;

struct CpuTopology {
    // Ascending id order; never empty.
    std::vector<types::cpu::NumaNode> nodes;
    // Indexed by processor number: the id of the node listing it, or unlisted_processor.
    // At least logical_processors entries.
    std::vector<std::uint32_t> processor_to_node;
    // Indexed by node id: the node's position in nodes, or tables::absent_node_index.
    std::vector<std::uint64_t> node_to_index;
    // For each node in nodes order, all other node ids nearest first (n * (n - 1) entries).
    std::vector<law::identity::NumaNodeId> adjacency;
    // The available parallelism (detected) or the requested count (single node); >= 1.
    std::uint64_t logical_processors = 1;
    std::optional<std::vector<types::cpu::CacheLevel>> caches;
    // One class per processor 0 .. logical_processors - 1.
    std::optional<std::vector<std::uint8_t>> efficiency_classes;
    // One core id per processor 0 .. logical_processors - 1.
    std::optional<std::vector<types::cpu::CoreId>> core_ids;

    // One node 0 holding processors 0 .. m - 1 (m = processors, or 1 for 0), distance
    // row [10], no caches, classes or core ids. Throws InternalError when processors does
    // not fit a 32-bit processor id.
    [[nodiscard]] static CpuTopology single_node(std::uint64_t processors);

    bool operator==(const CpuTopology&) const = default;
};

}  // namespace garvon::topology::cpu::topology
