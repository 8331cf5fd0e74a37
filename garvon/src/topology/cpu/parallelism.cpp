#include "garvon/topology/cpu/parallelism.hpp"

#include <sched.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <string_view>
#include <vector>

#include "garvon/topology/cpu/fs.hpp"
#include "garvon/topology/cpu/text.hpp"

namespace garvon::topology::cpu::parallelism {
namespace detail {
namespace {

// The kernel refuses a mask smaller than its own processor limit with EINVAL, so the
// mask starts at 1024 processors and doubles up to 4 Mi processors (a 512 KiB mask).
constexpr std::size_t first_mask_cpus = 1024;
constexpr std::size_t last_mask_cpus = std::size_t{1} << 22;
// cpu.max may omit the period; the kernel's default applies then.
constexpr std::uint64_t default_cfs_period_us = 100000;

constexpr std::size_t mask_word_bits = 8 * sizeof(unsigned long);

struct Membership {
    std::optional<std::string> v2_path;
    std::optional<std::string> v1_cpu_path;
};

struct Mount {
    std::string root;
    std::string mount_point;
};

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    while (true) {
        std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

bool lists_cpu_controller(std::string_view comma_list) {
    std::vector<std::string_view> names = split(comma_list, ',');
    return std::ranges::find(names, std::string_view("cpu")) != names.end();
}

// /proc/self/cgroup: "hierarchy:controllers:path" per line; v2 is "0::path".
Membership parse_membership(std::string_view content) {
    Membership membership;
    for (std::string_view line : split(content, '\n')) {
        std::size_t first = line.find(':');
        if (first == std::string_view::npos) continue;
        std::size_t second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        std::string_view hierarchy = line.substr(0, first);
        std::string_view controllers = line.substr(first + 1, second - first - 1);
        std::string_view path = line.substr(second + 1);
        if (hierarchy == "0" && controllers.empty()) {
            if (!membership.v2_path) membership.v2_path = std::string(path);
        } else if (lists_cpu_controller(controllers)) {
            if (!membership.v1_cpu_path) membership.v1_cpu_path = std::string(path);
        }
    }
    return membership;
}

// mountinfo escapes blanks, tabs, newlines and backslashes in paths as \ooo.
std::string unescape_mount_path(std::string_view field) {
    std::string path;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            std::string_view digits = field.substr(i + 1, 3);
            if (std::ranges::all_of(digits, [](char c) { return c >= '0' && c <= '7'; })) {
                path.push_back(static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0')));
                i += 3;
                continue;
            }
        }
        path.push_back(field[i]);
    }
    return path;
}

// Fields: id parent major:minor root mount-point options [optional...] - type source super-options.
struct MountInfo {
    std::optional<Mount> v2;
    std::optional<Mount> v1_cpu;
};

MountInfo parse_mountinfo(std::string_view content) {
    MountInfo mounts;
    for (std::string_view line : split(content, '\n')) {
        std::vector<std::string_view> fields = split(line, ' ');
        auto separator = std::ranges::find(fields, std::string_view("-"));
        if (fields.size() < 6 || separator - fields.begin() < 6 || fields.end() - separator < 4) continue;
        std::string_view type = separator[1];
        std::string_view super_options = separator[3];
        Mount mount{unescape_mount_path(fields[3]), unescape_mount_path(fields[4])};
        if (type == "cgroup2") {
            if (!mounts.v2) mounts.v2 = std::move(mount);
        } else if (type == "cgroup" && lists_cpu_controller(super_options)) {
            if (!mounts.v1_cpu) mounts.v1_cpu = std::move(mount);
        }
    }
    return mounts;
}

std::optional<std::uint64_t> limit_from(std::uint64_t quota, std::uint64_t period) {
    if (period == 0) return std::nullopt;
    return std::max<std::uint64_t>(1, quota / period);
}

std::optional<std::string> read_trimmed(const std::string& path) {
    auto content = fs::read_bytes(path);
    if (!content) return std::nullopt;
    return std::string(text::trim(*content));
}

// cgroup v2 cpu.max: "max 100000" (no limit) or "150000 100000".
std::optional<std::uint64_t> v2_limit(const std::string& dir) {
    auto content = read_trimmed(fs::join(dir, "cpu.max"));
    if (!content) return std::nullopt;
    std::vector<std::string_view> fields = text::split_whitespace(*content);
    if (fields.empty() || fields.size() > 2) return std::nullopt;
    auto quota = text::parse_u64(fields[0]);
    if (!quota) return std::nullopt;
    auto period = fields.size() == 2 ? text::parse_u64(fields[1]) : default_cfs_period_us;
    if (!period) return std::nullopt;
    return limit_from(*quota, *period);
}

// cgroup v1: cpu.cfs_quota_us is -1 without a limit, which the decimal rule rejects.
std::optional<std::uint64_t> v1_limit(const std::string& dir) {
    auto quota_text = read_trimmed(fs::join(dir, "cpu.cfs_quota_us"));
    auto period_text = read_trimmed(fs::join(dir, "cpu.cfs_period_us"));
    if (!quota_text || !period_text) return std::nullopt;
    auto quota = text::parse_u64(*quota_text);
    auto period = text::parse_u64(*period_text);
    if (!quota || !period) return std::nullopt;
    return limit_from(*quota, *period);
}

std::optional<std::uint64_t> smaller(std::optional<std::uint64_t> a, std::optional<std::uint64_t> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// A parent's quota bounds its children, so the cgroup and every ancestor up to the mount
// point count. A path outside the mounted subtree cannot be located and gives no limit.
template <typename ReadLimit>
std::optional<std::uint64_t> hierarchy_limit(const std::string& prefix, const Mount& mount,
                                             std::string_view cgroup_path, ReadLimit read_limit) {
    std::string_view relative = cgroup_path;
    if (mount.root != "/") {
        if (!relative.starts_with(mount.root)) return std::nullopt;
        relative.remove_prefix(mount.root.size());
        if (!relative.empty() && !relative.starts_with('/')) return std::nullopt;
    }
    std::vector<std::string_view> components;
    for (std::string_view part : split(relative, '/')) {
        if (part.empty() || part == ".") continue;
        if (part == "..") return std::nullopt;
        components.push_back(part);
    }
    std::optional<std::uint64_t> limit;
    std::string dir = prefix + mount.mount_point;
    limit = smaller(limit, read_limit(dir));
    for (std::string_view part : components) {
        dir = fs::join(dir, part);
        limit = smaller(limit, read_limit(dir));
    }
    return limit;
}

}  // namespace

std::optional<std::uint64_t> affinity_cpu_count() {
    for (std::size_t cpus = first_mask_cpus; cpus <= last_mask_cpus; cpus *= 2) {
        std::vector<unsigned long> mask(cpus / mask_word_bits, 0);
        const std::size_t bytes = mask.size() * sizeof(unsigned long);
        if (::sched_getaffinity(0, bytes, reinterpret_cast<cpu_set_t*>(mask.data())) == 0) {
            std::uint64_t count = 0;
            for (unsigned long word : mask) count += static_cast<std::uint64_t>(std::popcount(word));
            if (count == 0) return std::nullopt;
            return count;
        }
        if (errno != EINVAL) return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> cgroup_cpu_limit(const CgroupRoots& roots) {
    auto cgroup = fs::read_bytes(fs::join(roots.proc_self, "cgroup"));
    auto mountinfo = fs::read_bytes(fs::join(roots.proc_self, "mountinfo"));
    if (!cgroup || !mountinfo) return std::nullopt;
    Membership membership = parse_membership(*cgroup);
    MountInfo mounts = parse_mountinfo(*mountinfo);

    std::optional<std::uint64_t> limit;
    if (membership.v2_path && mounts.v2) {
        limit = smaller(limit, hierarchy_limit(roots.mount_prefix, *mounts.v2, *membership.v2_path, v2_limit));
    }
    if (membership.v1_cpu_path && mounts.v1_cpu) {
        limit = smaller(limit, hierarchy_limit(roots.mount_prefix, *mounts.v1_cpu, *membership.v1_cpu_path, v1_limit));
    }
    return limit;
}

std::optional<std::uint64_t> available_parallelism_from(std::optional<std::uint64_t> affinity_count,
                                                        const CgroupRoots& roots) {
    if (!affinity_count || *affinity_count == 0) return std::nullopt;
    return smaller(affinity_count, cgroup_cpu_limit(roots));
}

}  // namespace detail

std::optional<std::uint64_t> available_parallelism() {
    return detail::available_parallelism_from(detail::affinity_cpu_count(), detail::CgroupRoots{});
}

}  // namespace garvon::topology::cpu::parallelism
