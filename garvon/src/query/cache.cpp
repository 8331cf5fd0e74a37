#include "garvon/query/cache.hpp"

namespace garvon::query::cache {

namespace detail {

constinit thread_local std::optional<std::uint32_t> VALUE;

std::uint32_t store_queried_node(LocalityQuery query) {
    std::optional<platform::CpuLocality> locality = query();
    std::uint32_t node = locality ? locality->node : 0;
    VALUE = node;
    return node;
}

}  // namespace detail

std::uint32_t refresh_cached_node() {
    return detail::store_queried_node(&platform::query_cpu_locality_os);
}

}  // namespace garvon::query::cache
