// Records of one detected machine: a NUMA node with its processors and distance row,
// and one data or unified cache. Plain values that own their arrays; nothing here
// checks them (the detector builds them within its limits). Records only, no source file.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "garvon/law/identity.hpp"

namespace garvon::topology::types::cpu {

// A physical core, numbered densely from 0 in order of first appearance.
using CoreId = std::uint32_t;

struct NumaNode {
    // The node's logical processors in the order of its cpu list; duplicates stay.
    std::vector<std::uint32_t> cpus;
    // The distance row as read (10 means local); its length need not match the node count.
    std::vector<std::uint32_t> distances;
    law::identity::NumaNodeId id = 0;

    bool operator==(const NumaNode&) const = default;
};

struct CacheLevel {
    // Coherency line size in bytes; never 0 when present.
    std::optional<std::uint64_t> line_size;
    // The processors sharing this cache, in list order; never empty.
    std::vector<std::uint32_t> shared_cpus;
    // Capacity in bytes; never 0.
    std::uint64_t size = 0;
    // 1, 2 or 3.
    std::uint32_t level = 0;

    bool operator==(const CacheLevel&) const = default;
};

}  // namespace garvon::topology::types::cpu
