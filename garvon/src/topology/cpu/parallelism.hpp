// The operating system's available parallelism: how many processors this process may
// run on at once. That is the processor count of its affinity mask, lowered to
// max(1, quota / period) when its cgroup (v2 cpu.max or v1 cfs quota) limits CPU time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace garvon::topology::cpu::parallelism {

// Absent when the affinity mask cannot be read; callers fall back to 1.
[[nodiscard]] std::optional<std::uint64_t> available_parallelism();

namespace detail {

// Where the cgroup files are found. proc_self holds "cgroup" and "mountinfo"; every
// mount point named in mountinfo is looked up below mount_prefix ("" on a real system).
struct CgroupRoots {
    std::string proc_self = "/proc/self";
    std::string mount_prefix;
};

// The number of processors in the calling thread's affinity mask.
[[nodiscard]] std::optional<std::uint64_t> affinity_cpu_count();

// The smallest max(1, quota / period) over the process's cgroup and its ancestors up to
// the hierarchy's mount point, in the v2 and the v1 cpu hierarchy; absent without a quota.
[[nodiscard]] std::optional<std::uint64_t> cgroup_cpu_limit(const CgroupRoots& roots);

[[nodiscard]] std::optional<std::uint64_t> available_parallelism_from(std::optional<std::uint64_t> affinity_count,
                                                                      const CgroupRoots& roots);

}  // namespace detail
}  // namespace garvon::topology::cpu::parallelism
