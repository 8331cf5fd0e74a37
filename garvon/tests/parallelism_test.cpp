#include "garvon/topology/cpu/parallelism.hpp"

#include <gtest/gtest.h>
#include <sched.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fixture_tree.hpp"

namespace {

namespace parallelism = garvon::topology::cpu::parallelism;
using garvon::testing::TempTree;

constexpr const char* v2_mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid,nodev - cgroup2 cgroup2 rw,nsdelegate\n";
constexpr const char* v1_cpu_mount =
    "33 32 0:30 / /sys/fs/cgroup/cpu,cpuacct rw,relatime shared:12 - cgroup cgroup rw,cpu,cpuacct\n";
constexpr const char* other_mounts =
    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
    "34 32 0:31 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n";

struct CgroupCase {
    std::string name;
    std::optional<std::string> cgroup;     // /proc/self/cgroup; absent: no file
    std::optional<std::string> mountinfo;  // /proc/self/mountinfo; absent: no file
    std::map<std::string, std::string> files;
    std::optional<std::uint64_t> affinity;
    std::optional<std::uint64_t> expected;
};

void run_cases(const std::vector<CgroupCase>& cases) {
    for (const CgroupCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempTree tree;
        tree.make_dir("proc/self");
        if (c.cgroup) tree.write("proc/self/cgroup", *c.cgroup);
        if (c.mountinfo) tree.write("proc/self/mountinfo", *c.mountinfo);
        for (const auto& [path, content] : c.files) tree.write(path, content);
        parallelism::detail::CgroupRoots roots{tree.path("proc/self"), tree.path()};
        EXPECT_EQ(parallelism::detail::available_parallelism_from(c.affinity, roots), c.expected);
    }
}

TEST(GarvonParallelismTest, CgroupV2CpuMax) {
    const std::string v2_mounts = std::string(other_mounts) + v2_mount;
    const std::string member = "0::/app.slice/job\n";
    const std::string cpu_max = "sys/fs/cgroup/app.slice/job/cpu.max";
    run_cases({
        {"no quota", member, v2_mounts, {{cpu_max, "max 100000\n"}}, 8, 8},
        {"one and a half processors", member, v2_mounts, {{cpu_max, "150000 100000\n"}}, 8, 1},
        {"four processors", member, v2_mounts, {{cpu_max, "400000 100000\n"}}, 8, 4},
        {"less than one processor", member, v2_mounts, {{cpu_max, "50000 100000\n"}}, 8, 1},
        {"quota above the affinity mask", member, v2_mounts, {{cpu_max, "2000000 100000\n"}}, 8, 8},
        {"period left out", member, v2_mounts, {{cpu_max, "300000\n"}}, 8, 3},
        {"max alone", member, v2_mounts, {{cpu_max, "max\n"}}, 8, 8},
        {"garbage", member, v2_mounts, {{cpu_max, "abc 100000\n"}}, 8, 8},
        {"zero period", member, v2_mounts, {{cpu_max, "100000 0\n"}}, 8, 8},
        {"parent quota bounds the child",
         member,
         v2_mounts,
         {{cpu_max, "max 100000\n"}, {"sys/fs/cgroup/app.slice/cpu.max", "200000 100000\n"}},
         8,
         2},
        {"smallest quota on the path wins",
         member,
         v2_mounts,
         {{cpu_max, "300000 100000\n"}, {"sys/fs/cgroup/app.slice/cpu.max", "500000 100000\n"}},
         8,
         3},
        {"no cpu.max file", member, v2_mounts, {}, 8, 8},
        {"unreadable cpu.max", member, v2_mounts, {{cpu_max + "/x", ""}}, 8, 8},
        {"no cgroup2 mount", member, std::string(other_mounts), {{cpu_max, "100000 100000\n"}}, 8, 8},
    });
}

TEST(GarvonParallelismTest, CgroupV1CfsQuota) {
    const std::string v1_mounts = std::string(other_mounts) + v1_cpu_mount;
    const std::string member = "5:memory:/docker/abc\n4:cpu,cpuacct:/docker/abc\n1:name=systemd:/x\n";
    const std::string dir = "sys/fs/cgroup/cpu,cpuacct/docker/abc/";
    run_cases({
        {"three processors",
         member,
         v1_mounts,
         {{dir + "cpu.cfs_quota_us", "300000\n"}, {dir + "cpu.cfs_period_us", "100000\n"}},
         8,
         3},
        {"no quota",
         member,
         v1_mounts,
         {{dir + "cpu.cfs_quota_us", "-1\n"}, {dir + "cpu.cfs_period_us", "100000\n"}},
         8,
         8},
        {"period missing", member, v1_mounts, {{dir + "cpu.cfs_quota_us", "300000\n"}}, 8, 8},
        // In a container the hierarchy's root is the container's own cgroup.
        {"mount root is the cgroup",
         member,
         std::string("40 32 0:30 /docker/abc /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpuacct,cpu\n"),
         {{"sys/fs/cgroup/cpu/cpu.cfs_quota_us", "200000\n"}, {"sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"}},
         8,
         2},
        {"cgroup outside the mounted subtree",
         member,
         std::string("40 32 0:30 /other /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"),
         {{"sys/fs/cgroup/cpu/cpu.cfs_quota_us", "200000\n"}, {"sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"}},
         8,
         8},
        {"escaped mount point",
         member,
         std::string("40 32 0:30 / /sys/fs/cgroup/my\\040cpu rw - cgroup cgroup rw,cpu\n"),
         {{"sys/fs/cgroup/my cpu/docker/abc/cpu.cfs_quota_us", "100000\n"},
          {"sys/fs/cgroup/my cpu/docker/abc/cpu.cfs_period_us", "50000\n"}},
         8,
         2},
        {"cpu controller not mounted",
         member,
         std::string(other_mounts),
         {{dir + "cpu.cfs_quota_us", "300000\n"}, {dir + "cpu.cfs_period_us", "100000\n"}},
         8,
         8},
    });
}

TEST(GarvonParallelismTest, MixedAndMissingSources) {
    const std::string hybrid_mounts = std::string(other_mounts) + v1_cpu_mount + v2_mount;
    const std::string hybrid_member = "4:cpu,cpuacct:/\n0::/\n";
    run_cases({
        {"hybrid: v1 quota with an unlimited unified tree",
         hybrid_member,
         hybrid_mounts,
         {{"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "200000\n"},
          {"sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
         8,
         2},
        {"no /proc/self/cgroup", std::nullopt, hybrid_mounts, {}, 6, 6},
        {"no /proc/self/mountinfo", hybrid_member, std::nullopt, {}, 6, 6},
        {"empty files", std::string(), std::string(), {}, 6, 6},
        {"affinity undetermined", hybrid_member, hybrid_mounts, {}, std::nullopt, std::nullopt},
        {"affinity undetermined despite a quota",
         "0::/\n",
         std::string(v2_mount),
         {{"sys/fs/cgroup/cpu.max", "100000 100000\n"}},
         std::nullopt,
         std::nullopt},
    });
}

TEST(GarvonParallelismTest, RealMachine) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    std::optional<std::uint64_t> affinity = parallelism::detail::affinity_cpu_count();
    ASSERT_TRUE(affinity.has_value());
    EXPECT_EQ(*affinity, static_cast<std::uint64_t>(CPU_COUNT(&allowed)));

    std::optional<std::uint64_t> available = parallelism::available_parallelism();
    ASSERT_TRUE(available.has_value());
    EXPECT_GE(*available, 1u);
    EXPECT_LE(*available, *affinity);
    std::optional<std::uint64_t> limit = parallelism::detail::cgroup_cpu_limit({});
    EXPECT_EQ(*available, limit ? std::min(*limit, *affinity) : *affinity);
}

}  // namespace
