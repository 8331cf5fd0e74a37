// The data and unified caches of the machine, read from the cache/indexN directories
// of every processor under a sysfs cpu root. Shared caches appear once; unusable
// entries are skipped. Internal to topology detection.
#pragma once

#if defined(linux)
#error "garvon needs a strict -std=c++23 build: GNU mode predefines the macro linux"
#endif

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "garvon/topology/types/cpu.hpp"

namespace garvon::topology::cpu::cache::linux {

// The scan ends once this many entries are recorded.
inline constexpr std::size_t max_cache_entries = 512;
// Processor directories cpu0 .. cpu32767 and index directories index0 .. index63.
inline constexpr std::uint64_t max_cache_processor = 32767;
inline constexpr std::uint64_t max_cache_index = 63;

// The distinct caches in processor and index order, or absent when the cpu root cannot
// be listed or no entry survives.
[[nodiscard]] std::optional<std::vector<types::cpu::CacheLevel>> detect(std::string_view cpu_root);

}  // namespace garvon::topology::cpu::cache::linux
