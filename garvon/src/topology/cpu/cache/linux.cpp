#include "garvon/topology/cpu/cache/linux.hpp"

#include <algorithm>
#include <string>

#include "kavrel/domain/checked/arithmetic.hpp"
#include "garvon/topology/cpu/cpulist.hpp"
#include "garvon/topology/cpu/fs.hpp"
#include "garvon/topology/cpu/text.hpp"

namespace garvon::topology::cpu::cache::linux {
namespace {

using types::cpu::CacheLevel;

struct NumberedEntry {
    std::uint64_t number;
    std::string path;
};

// Entries named prefix + number (number at most max_number), sorted by number; names
// such as cpufreq or cpuidle drop out because no number follows the prefix.
std::vector<NumberedEntry> numbered_entries(const std::vector<fs::DirEntry>& entries, std::string_view prefix,
                                            std::uint64_t max_number) {
    std::vector<NumberedEntry> numbered;
    for (const fs::DirEntry& entry : entries) {
        auto number = text::parse_prefixed_u64(entry.name, prefix);
        if (number && *number <= max_number) numbered.push_back(NumberedEntry{*number, entry.path});
    }
    std::stable_sort(numbered.begin(), numbered.end(),
                     [](const NumberedEntry& a, const NumberedEntry& b) { return a.number < b.number; });
    return numbered;
}

std::optional<std::string> read_trimmed(const std::string& index_path, std::string_view name) {
    auto content = fs::read_text(fs::join(index_path, name));
    if (!content) return std::nullopt;
    return std::string(text::trim(*content));
}

std::optional<std::uint32_t> read_level(const std::string& index_path) {
    auto content = read_trimmed(index_path, "level");
    if (!content) return std::nullopt;
    auto level = text::parse_u32(*content);
    if (!level || *level < 1 || *level > 3) return std::nullopt;
    return level;
}

std::uint64_t size_multiplier(char suffix) {
    switch (suffix) {
        case 'K': case 'k': return std::uint64_t{1} << 10;
        case 'M': case 'm': return std::uint64_t{1} << 20;
        case 'G': case 'g': return std::uint64_t{1} << 30;
        default: return 1;
    }
}

// "32K", "1M", "512"; a bare suffix, a zero size or a product past 64 bits is unusable.
std::optional<std::uint64_t> read_size(const std::string& index_path) {
    auto content = read_trimmed(index_path, "size");
    if (!content || content->empty()) return std::nullopt;
    std::string_view size_text = *content;
    std::uint64_t multiplier = size_multiplier(size_text.back());
    if (multiplier != 1) size_text.remove_suffix(1);
    auto number = text::parse_u64(text::trim(size_text));
    if (!number) return std::nullopt;
    const auto bytes = kavrel::domain::checked::mul(*number, multiplier);
    if (!bytes) return std::nullopt;
    if (*bytes == 0) return std::nullopt;
    return bytes;
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

// An unreadable type file keeps the entry; a readable one must name a data or unified
// cache, so instruction caches never enter the list.
bool type_allows(const std::string& index_path) {
    auto type = read_trimmed(index_path, "type");
    if (!type) return true;
    return equals_ignoring_ascii_case(*type, "data") || equals_ignoring_ascii_case(*type, "unified");
}

std::optional<std::uint64_t> read_line_size(const std::string& index_path) {
    auto content = read_trimmed(index_path, "coherency_line_size");
    if (!content) return std::nullopt;
    auto line_size = text::parse_u64(*content);
    if (!line_size || *line_size == 0) return std::nullopt;
    return line_size;
}

std::optional<CacheLevel> read_candidate(const std::string& index_path) {
    auto level = read_level(index_path);
    if (!level) return std::nullopt;
    auto size = read_size(index_path);
    if (!size) return std::nullopt;
    if (!type_allows(index_path)) return std::nullopt;
    auto shared = fs::read_text(fs::join(index_path, "shared_cpu_list"));
    if (!shared) return std::nullopt;
    std::vector<std::uint32_t> shared_cpus = cpulist::parse_cpu_list(*shared);
    if (shared_cpus.empty()) return std::nullopt;
    return CacheLevel{read_line_size(index_path), std::move(shared_cpus), *size, *level};
}

}  // namespace

std::optional<std::vector<CacheLevel>> detect(std::string_view cpu_root) {
    auto listing = fs::list_dir(std::string(cpu_root));
    if (!listing) return std::nullopt;

    std::vector<CacheLevel> caches;
    for (const NumberedEntry& processor : numbered_entries(*listing, "cpu", max_cache_processor)) {
        auto cache_listing = fs::list_dir(fs::join(processor.path, "cache"));
        if (!cache_listing) continue;
        for (const NumberedEntry& index : numbered_entries(*cache_listing, "index", max_cache_index)) {
            auto candidate = read_candidate(index.path);
            if (!candidate) continue;
            // Every processor sharing a cache reports it; the type is not compared since
            // it is not recorded.
            if (std::ranges::find(caches, *candidate) != caches.end()) continue;
            caches.push_back(std::move(*candidate));
            if (caches.size() == max_cache_entries) return caches;
        }
    }
    if (caches.empty()) return std::nullopt;
    return caches;
}

}  // namespace garvon::topology::cpu::cache::linux
