// Topology detection from the Linux sysfs trees /sys/devices/system/node and
// /sys/devices/system/cpu. Every unreadable item degrades to its fallback; only a broken
// hard limit throws InternalError. Nothing is kept between calls: each reads sysfs anew.
#pragma once

#if defined(linux)
#error "garvon needs a strict -std=c++23 build: GNU mode predefines the macro linux"
#endif

#include <cstdint>
#include <optional>
#include <string>

#include "garvon/topology/cpu/topology.hpp"

namespace garvon::topology::cpu::detect::linux {

// Always present (callers may keep a branch for absence); the logical processor count
// is the available parallelism, or 1 when it cannot be determined.
[[nodiscard]] std::optional<topology::CpuTopology> detect();

namespace detail {

// The trailing slash of the node root is kept: node files are named "{root}/node{id}/...".
struct SysfsRoots {
    std::string node_root = "/sys/devices/system/node/";
    std::string cpu_root = "/sys/devices/system/cpu";
};

// detect() over the given trees and available parallelism (absent: undetermined).
[[nodiscard]] std::optional<topology::CpuTopology> detect_from(const SysfsRoots& roots,
                                                               std::optional<std::uint64_t> available_parallelism);

}  // namespace detail
}  // namespace garvon::topology::cpu::detect::linux
