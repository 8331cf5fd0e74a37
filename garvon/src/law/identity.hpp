// Identifiers shared by the topology records and the current-node query.
// A NUMA node id is the kernel's own node number (node0, node1, ... in sysfs).
// Type aliases only, so this module has no source file.
#pragma once

#include <cstdint>

namespace garvon::law::identity {

using NumaNodeId = std::uint32_t;

// Every node of a topology has an id below this.
inline constexpr NumaNodeId max_node_ids = 1024;

}  // namespace garvon::law::identity
