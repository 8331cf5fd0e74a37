// The calling thread's NUMA node, asked of the kernel once per thread and then kept in a
// thread-local cell. A thread keeps its first answer (0 when the query failed) until it
// calls refresh_cached_node; when to refresh is the caller's decision.
#pragma once

#include <cstdint>
#include <optional>

#include "garvon/query/platform.hpp"

namespace garvon::query::cache {

namespace detail {

using LocalityQuery = std::optional<platform::CpuLocality> (*)();

// Empty when a thread starts, set by its first cached_node and never emptied. Default
// TLS model: the module is loaded with dlopen. constinit lets callers read it without
// the TLS wrapper call.
extern constinit thread_local std::optional<std::uint32_t> VALUE;

// Runs query, stores its node (0 when absent) in VALUE and returns it.
std::uint32_t store_queried_node(LocalityQuery query);

inline std::uint32_t cached_node_with(LocalityQuery query) {
    if (VALUE) return *VALUE;
    return store_queried_node(query);
}

}  // namespace detail

// The kernel's raw node number (below 1024); callers fold it into their own tables.
inline std::uint32_t cached_node() {
    return detail::cached_node_with(&platform::query_cpu_locality_os);
}

// Queries again and overwrites this thread's cached node.
std::uint32_t refresh_cached_node();

}  // namespace garvon::query::cache
