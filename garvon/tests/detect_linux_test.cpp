#include "garvon/topology/cpu/detect/linux.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fixture_tree.hpp"
#include "garvon/law/invariant.hpp"
#include "garvon/query/cache.hpp"
#include "garvon/query/platform.hpp"
#include "garvon/topology/cpu/parallelism.hpp"
#include "garvon/topology/cpu/tables.hpp"

namespace {

namespace detect = garvon::topology::cpu::detect::linux;
using garvon::law::invariant::InternalError;
using garvon::testing::TempTree;
using garvon::topology::cpu::topology::CpuTopology;
using garvon::topology::types::cpu::CacheLevel;
using garvon::topology::types::cpu::NumaNode;

constexpr std::uint32_t unlisted = garvon::topology::cpu::topology::unlisted_processor;
constexpr std::uint64_t none = garvon::topology::cpu::tables::absent_node_index;

// A fixture machine: node and cpu trees below one temporary directory.
class Machine {
public:
    // The node root keeps its trailing slash, as the real one does.
    detect::detail::SysfsRoots roots() const { return {tree_.path("node/"), tree_.path("cpu")}; }

    void node(std::uint32_t id, std::optional<std::string> cpulist, std::optional<std::string> distance) const {
        std::string dir = "node/node" + std::to_string(id);
        tree_.make_dir(dir);
        if (cpulist) tree_.write(dir + "/cpulist", *cpulist);
        if (distance) tree_.write(dir + "/distance", *distance);
    }
    void file(const std::string& path, const std::string& content) const { tree_.write(path, content); }
    // A directory where a file should be: unreadable even for root.
    void unreadable(const std::string& path) const { tree_.make_dir(path); }

    void capacities(const std::vector<std::string>& values) const {
        for (std::size_t p = 0; p < values.size(); ++p) file(cpu_file(p, "cpu_capacity"), values[p]);
    }
    void siblings(const std::vector<std::string>& lists) const {
        for (std::size_t p = 0; p < lists.size(); ++p) file(cpu_file(p, "topology/thread_siblings_list"), lists[p]);
    }
    static std::string cpu_file(std::size_t processor, const std::string& name) {
        return "cpu/cpu" + std::to_string(processor) + "/" + name;
    }

    std::optional<CpuTopology> detect(std::optional<std::uint64_t> parallelism) const {
        return detect::detail::detect_from(roots(), parallelism);
    }

private:
    TempTree tree_;
};

std::string internal_error_message(const std::function<void()>& action) {
    try {
        action();
    } catch (const InternalError& error) {
        return error.what();
    }
    return "(no internal error)";
}

// The cpu tree of a 4-processor capacity machine with two SMT pairs and caches, used to
// show that a fallback to a single node reads none of it.
void write_full_cpu_tree(const Machine& m) {
    m.capacities({"1024\n", "1024\n", "512\n", "512\n"});
    m.siblings({"0-1\n", "0-1\n", "2-3\n", "2-3\n"});
    for (int cpu = 0; cpu < 4; ++cpu) {
        std::string dir = "cpu/cpu" + std::to_string(cpu) + "/cache/index0/";
        m.file(dir + "level", "1\n");
        m.file(dir + "size", "32K\n");
        m.file(dir + "shared_cpu_list", std::to_string(cpu) + "\n");
    }
}

TEST(GarvonDetectTest, NoUsableNodeEntryGivesTheSingleNodeTopology) {
    struct Case {
        std::string name;
        std::function<void(const Machine&)> build;
        std::optional<std::uint64_t> parallelism;
        std::uint32_t processors;
    };
    const std::vector<Case> cases = {
        {"no node directory", [](const Machine&) {}, 3, 3},
        {"parallelism undetermined", [](const Machine&) {}, std::nullopt, 1},
        {"parallelism 0", [](const Machine&) {}, 0, 1},
        {"node root is a file", [](const Machine& m) { m.file("node", "node0\n"); }, 2, 2},
        {"only entries that do not qualify",
         [](const Machine& m) {
             for (const char* name : {"has_cpu", "possible", "online", "power/x"}) m.file(std::string("node/") + name, "0\n");
             for (const char* name : {"node1024", "node4294967296", "nodeX", "node", "node-1", "node 1", "Node0",
                                      "node3\xFF"}) {
                 m.file(std::string("node/") + name + "/cpulist", "0-3\n");
             }
         },
         4,
         4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine m;
        c.build(m);
        write_full_cpu_tree(m);
        EXPECT_EQ(m.detect(c.parallelism), CpuTopology::single_node(c.processors));
    }
}

TEST(GarvonDetectTest, SingleNodeFallbackRejectsParallelismBeyond32Bits) {
    Machine m;
    std::string message = internal_error_message([&] { (void)m.detect(std::uint64_t{1} << 32); });
    EXPECT_TRUE(message.starts_with("invariant: logical processor count must fit a u32 processor id")) << message;
}

// Sparse ids, a missing cpu list, a malformed, an unreadable and an empty distance row,
// entries that do not qualify, and no cpu tree at all.
TEST(GarvonDetectTest, SparseNodesWithBrokenDistanceRows) {
    Machine m;
    m.node(0, "0-1\n", "10 x 21 17\n");
    m.node(2, std::nullopt, std::nullopt);
    m.unreadable("node/node2/distance");
    m.node(5, "4-5,7\n", "");
    m.node(1024, "8\n", "10\n");
    m.file("node/has_cpu", "0-1,4-5,7\n");
    m.file("node/online", "0,2,5\n");

    CpuTopology expected;
    expected.nodes = {
        NumaNode{{0, 1}, {10, 21, 17}, 0},
        NumaNode{{}, {20, 10, 20}, 2},
        NumaNode{{4, 5, 7}, {}, 5},
    };
    expected.processor_to_node = {0, 0, unlisted, unlisted, 5, 5, unlisted, 5};
    expected.node_to_index = {0, none, 1, none, none, 2};
    // Rows shorter than id 5 + 1 are read by position; missing distances count as 20.
    expected.adjacency = {5, 2, 0, 5, 0, 2};
    expected.logical_processors = 6;
    EXPECT_EQ(m.detect(6), expected);
}

TEST(GarvonDetectTest, ContentsAndNamesThatAreNotUtf8AreUnreadable) {
    Machine m;
    m.node(0, "0-1\xFF\n", "10\xFF 20\n");
    m.node(1, "0-1\n", "20 10\n");
    m.file("node/node7\xFF/cpulist", "2\n");
    m.capacities({"1024\n", "10\xC0\xB0\n"});
    m.siblings({"0\n", "1\n"});

    CpuTopology expected;
    expected.nodes = {
        NumaNode{{}, {10, 20}, 0},  // both files unreadable: no cpus, synthetic row
        NumaNode{{0, 1}, {20, 10}, 1},
    };
    expected.processor_to_node = {1, 1};
    expected.node_to_index = {0, 1};
    expected.adjacency = {1, 0};
    expected.logical_processors = 2;
    expected.core_ids = std::vector<std::uint32_t>{0, 1};
    EXPECT_EQ(m.detect(2), expected);
}

// A processor listed by two nodes ends with the later (higher) node; the table grows to
// the largest listed processor even past the available parallelism.
TEST(GarvonDetectTest, OverlappingCpuListsAndALargeDistanceRow) {
    Machine m;
    std::string long_row = "10";
    for (int i = 0; i < 1499; ++i) long_row += " 30";
    m.node(0, "0-3\n", long_row + "\n");
    m.node(1, "2-5,5\n", "30\t10\n");

    CpuTopology expected;
    std::vector<std::uint32_t> capped_row(1024, 30);
    capped_row[0] = 10;
    expected.nodes = {NumaNode{{0, 1, 2, 3}, capped_row, 0}, NumaNode{{2, 3, 4, 5, 5}, {30, 10}, 1}};
    expected.processor_to_node = {0, 0, 1, 1, 1, 1};
    expected.node_to_index = {0, 1};
    expected.adjacency = {1, 0};
    expected.logical_processors = 4;
    EXPECT_EQ(m.detect(4), expected);
}

TEST(GarvonDetectTest, DuplicateNodeIdsStopWithAnInternalError) {
    for (const char* twin : {"node01", "node+1", "node0001"}) {
        SCOPED_TRACE(twin);
        Machine m;
        m.node(0, "0\n", "10 20\n");
        m.node(1, "1\n", "20 10\n");
        m.file(std::string("node/") + twin + "/cpulist", "1\n");
        EXPECT_EQ(internal_error_message([&] { (void)m.detect(2); }),
                  "invariant check failed: duplicate NUMA node ID 1 found in topology");
    }
}

TEST(GarvonDetectTest, ProcessorTableLongerThanTheLimitStops) {
    Machine m;
    m.node(0, "0\n", "10\n");
    EXPECT_EQ(internal_error_message([&] { (void)m.detect(32769); }),
              "invariant check failed: processor count 32769 exceeds maximum limit of 32768");
    EXPECT_EQ(internal_error_message([&] { (void)m.detect(std::uint64_t{1} << 40); }),
              "invariant check failed: processor count 1099511627776 exceeds maximum limit of 32768");
}

// Nodes list processors 0-7 while only 4 may run: classes and core ids cover 0-3 only,
// and sibling lists that name 4-7 make the core ids absent.
TEST(GarvonDetectTest, AffinityMaskSmallerThanTheListedProcessors) {
    Machine m;
    m.node(0, "0-3\n", "10 21\n");
    m.node(1, "4-7\n", "21 10\n");
    m.capacities({"1024\n", "1024\n", "512\n", "512\n"});  // cpu4-7 have none; they are not read
    m.siblings({"0,4\n", "1,5\n", "2,6\n", "3,7\n", "0,4\n", "1,5\n", "2,6\n", "3,7\n"});

    CpuTopology expected;
    expected.nodes = {NumaNode{{0, 1, 2, 3}, {10, 21}, 0}, NumaNode{{4, 5, 6, 7}, {21, 10}, 1}};
    expected.processor_to_node = {0, 0, 0, 0, 1, 1, 1, 1};
    expected.node_to_index = {0, 1};
    expected.adjacency = {1, 0};
    expected.logical_processors = 4;
    expected.efficiency_classes = std::vector<std::uint8_t>{1, 1, 0, 0};
    EXPECT_EQ(m.detect(4), expected);
}

// A hybrid machine with eight processors: P-cores 0-3 with siblings 4-7 on the same cores
// in the sibling lists, caches per processor and one shared L3.
void write_hybrid_machine(const Machine& m, const std::string& atom_list, const std::string& core_list) {
    m.node(0, "0-7\n", "10\n");
    if (!atom_list.empty()) m.file("cpu/types/intel_atom/cpulist", atom_list);
    if (!core_list.empty()) m.file("cpu/types/intel_core/cpulist", core_list);
    m.capacities({"400\n", "400\n", "400\n", "400\n", "900\n", "900\n", "900\n", "900\n"});
    m.siblings({"0,4\n", "1,5\n", "2,6\n", "3,7\n", "0,4\n", "1,5\n", "2,6\n", "3,7\n"});
    for (int cpu = 0; cpu < 8; ++cpu) {
        std::string dir = "cpu/cpu" + std::to_string(cpu) + "/cache/";
        m.file(dir + "index0/level", "1\n");
        m.file(dir + "index0/size", "48K\n");
        m.file(dir + "index0/type", "Data\n");
        m.file(dir + "index0/shared_cpu_list", std::to_string(cpu) + "\n");
        m.file(dir + "index0/coherency_line_size", "64\n");
        m.file(dir + "index3/level", "3\n");
        m.file(dir + "index3/size", "30720K\n");
        m.file(dir + "index3/type", "Unified\n");
        m.file(dir + "index3/shared_cpu_list", "0-7\n");
        m.file(dir + "index3/coherency_line_size", "64\n");
    }
}

CpuTopology expected_hybrid(std::optional<std::vector<std::uint8_t>> classes) {
    CpuTopology expected;
    expected.nodes = {NumaNode{{0, 1, 2, 3, 4, 5, 6, 7}, {10}, 0}};
    expected.processor_to_node.assign(8, 0);
    expected.node_to_index = {0};
    expected.logical_processors = 8;
    std::vector<CacheLevel> caches = {{64, {0}, 48 * 1024, 1}, {64, {0, 1, 2, 3, 4, 5, 6, 7}, 30720 * 1024, 3}};
    for (std::uint32_t cpu = 1; cpu < 8; ++cpu) caches.push_back({64, {cpu}, 48 * 1024, 1});
    expected.caches = caches;
    expected.efficiency_classes = std::move(classes);
    expected.core_ids = std::vector<std::uint32_t>{0, 1, 2, 3, 0, 1, 2, 3};
    return expected;
}

TEST(GarvonDetectTest, HybridTypeListsOrCapacitiesDecideTheClasses) {
    using Classes = std::optional<std::vector<std::uint8_t>>;
    const Classes by_type = std::vector<std::uint8_t>{1, 1, 1, 1, 0, 0, 0, 0};
    const Classes by_capacity = std::vector<std::uint8_t>{0, 0, 0, 0, 1, 1, 1, 1};
    const Classes all_zero = std::vector<std::uint8_t>(8, 0);
    struct Case {
        std::string name;
        std::string atom;
        std::string core;
        Classes expected;
    };
    const std::vector<Case> cases = {
        {"both types", "4-7\n", "0-3\n", by_type},
        {"type lists in any order", "7,6,5,4", "3,0-2", by_type},
        {"intel_core only", "", "0-7\n", all_zero},
        {"intel_atom only", "0-7\n", "", all_zero},
        {"a processor listed twice", "4-7\n", "0-4\n", by_capacity},
        {"a processor listed twice in one list", "4-7,4\n", "0-3\n", by_capacity},
        {"a processor left out", "4-7\n", "0-2\n", by_capacity},
        {"a processor beyond the parallelism", "4-8\n", "0-3\n", by_capacity},
        {"no type lists", "", "", by_capacity},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine m;
        write_hybrid_machine(m, c.atom, c.core);
        EXPECT_EQ(m.detect(8), expected_hybrid(c.expected));
    }
}

TEST(GarvonDetectTest, UnreadableTypeListListsNothing) {
    Machine m;
    write_hybrid_machine(m, "", "0-7\n");
    m.unreadable("cpu/types/intel_atom/cpulist");
    EXPECT_EQ(m.detect(8), expected_hybrid(std::vector<std::uint8_t>(8, 0)));

    Machine invalid;
    write_hybrid_machine(invalid, "4-7\xFF\n", "0-3\n");  // unreadable: processors 4-7 stay unassigned
    EXPECT_EQ(invalid.detect(8), expected_hybrid(std::vector<std::uint8_t>{0, 0, 0, 0, 1, 1, 1, 1}));
}

CpuTopology expected_capacity_machine(std::optional<std::vector<std::uint8_t>> classes, std::uint32_t processors) {
    CpuTopology expected;
    NumaNode node{{}, {10}, 0};
    for (std::uint32_t p = 0; p < processors; ++p) node.cpus.push_back(p);
    expected.nodes = {node};
    expected.processor_to_node.assign(processors, 0);
    expected.node_to_index = {0};
    expected.logical_processors = processors;
    expected.efficiency_classes = std::move(classes);
    return expected;
}

TEST(GarvonDetectTest, CapacityOnlyMachine) {
    using Classes = std::optional<std::vector<std::uint8_t>>;
    struct Case {
        std::string name;
        std::vector<std::string> capacities;
        Classes expected;
    };
    const std::vector<Case> cases = {
        {"two capacities", {"1024\n", "1024\n", "512\n", "512\n"}, std::vector<std::uint8_t>{1, 1, 0, 0}},
        {"trimmed and signed", {" 1024 ", "+1024", "\t512\n", "512"}, std::vector<std::uint8_t>{1, 1, 0, 0}},
        {"three levels", {"160\n", "1024\n", "512\n", "1024\n"}, std::vector<std::uint8_t>{0, 2, 1, 2}},
        {"symmetric", {"1024\n", "1024\n", "1024\n", "1024\n"}, std::vector<std::uint8_t>{0, 0, 0, 0}},
        {"one missing", {"1024\n", "1024\n", "512\n"}, std::nullopt},
        {"a zero capacity", {"1024\n", "0\n", "512\n", "512\n"}, std::nullopt},
        {"an invalid capacity", {"1024\n", "big\n", "512\n", "512\n"}, std::nullopt},
        {"a capacity beyond 32 bits", {"1024\n", "4294967296\n", "512\n", "512\n"}, std::nullopt},
        {"a negative capacity", {"1024\n", "-1\n", "512\n", "512\n"}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine m;
        m.node(0, "0-3\n", "10\n");
        m.capacities(c.capacities);
        EXPECT_EQ(m.detect(4), expected_capacity_machine(c.expected, 4));
    }

    Machine unreadable;
    unreadable.node(0, "0-3\n", "10\n");
    unreadable.capacities({"1024\n", "1024\n", "512\n"});
    unreadable.unreadable(Machine::cpu_file(3, "cpu_capacity"));
    EXPECT_EQ(unreadable.detect(4), expected_capacity_machine(std::nullopt, 4));
}

TEST(GarvonDetectTest, MoreThan256DistinctCapacitiesGiveNoClasses) {
    for (std::uint32_t processors : {256u, 257u}) {
        SCOPED_TRACE("processors " + std::to_string(processors));
        Machine m;
        m.node(0, "0-" + std::to_string(processors - 1) + "\n", "10\n");
        std::vector<std::string> capacities;
        std::vector<std::uint8_t> classes;
        for (std::uint32_t p = 0; p < processors; ++p) {
            capacities.push_back(std::to_string(2000 - p) + "\n");
            classes.push_back(static_cast<std::uint8_t>(processors - 1 - p));
        }
        m.capacities(capacities);
        std::optional<std::vector<std::uint8_t>> expected;
        if (processors <= 256) expected = classes;
        EXPECT_EQ(m.detect(processors), expected_capacity_machine(expected, processors));
    }
}

TEST(GarvonDetectTest, SiblingListsGiveCoreIdsOnlyWhenTheyAgree) {
    using CoreIds = std::optional<std::vector<std::uint32_t>>;
    struct Case {
        std::string name;
        std::vector<std::string> lists;
        CoreIds expected;
    };
    const std::vector<Case> cases = {
        {"pairs", {"0,4", "1,5", "2,6", "3,7", "0,4", "1,5", "2,6", "3,7"},
         std::vector<std::uint32_t>{0, 1, 2, 3, 0, 1, 2, 3}},
        {"adjacent pairs", {"0-1\n", "0-1\n", "2-3\n", "2-3\n", "4-5", "4-5", "6-7", "6-7"},
         std::vector<std::uint32_t>{0, 0, 1, 1, 2, 2, 3, 3}},
        {"no SMT", {"0", "1", "2", "3", "4", "5", "6", "7"}, std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}},
        {"list order does not matter", {"4,0", "5-5,1", "6,2", "3,7", "0,4", "1,5", "2,6", "7,3"},
         std::vector<std::uint32_t>{0, 1, 2, 3, 0, 1, 2, 3}},
        {"numbered by first appearance", {"0,7", "1,6", "2,5", "3,4", "3,4", "2,5", "1,6", "0,7"},
         std::vector<std::uint32_t>{0, 1, 2, 3, 3, 2, 1, 0}},
        {"repeated members", {"0,4,4", "1,5", "2,6", "3,7", "0,4", "1,5", "2,6", "3,7"},
         std::vector<std::uint32_t>{0, 1, 2, 3, 0, 1, 2, 3}},
        {"a list without its own processor", {"0,4", "0,4", "2,6", "3,7", "0,4", "1,5", "2,6", "3,7"},
         std::nullopt},
        {"a member that does not list back", {"0-1", "1", "2", "3", "4", "5", "6", "7"}, std::nullopt},
        {"an empty list", {"0", "1", "", "3", "4", "5", "6", "7"}, std::nullopt},
        {"an unusable list", {"0", "1", "two", "3", "4", "5", "6", "7"}, std::nullopt},
        {"a member beyond the parallelism", {"0", "1", "2", "3", "4", "5", "6", "7,8"}, std::nullopt},
        {"a missing list", {"0", "1", "2", "3", "4", "5", "6"}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine m;
        m.node(0, "0-7\n", "10\n");
        m.siblings(c.lists);
        m.file(Machine::cpu_file(8, "topology/thread_siblings_list"), "7,8\n");
        CpuTopology expected = expected_capacity_machine(std::nullopt, 8);
        expected.core_ids = c.expected;
        EXPECT_EQ(m.detect(8), expected);
    }

    Machine unreadable;
    unreadable.node(0, "0-1\n", "10\n");
    unreadable.siblings({"0\n"});
    unreadable.unreadable(Machine::cpu_file(1, "topology/thread_siblings_list"));
    EXPECT_EQ(unreadable.detect(2), expected_capacity_machine(std::nullopt, 2));
}

// Ids 1024 and above are ignored before the count of 1024 entries is taken; every node
// without files gets a synthetic row, so all other nodes are at distance 20.
TEST(GarvonDetectTest, NodeIdsAboveTheLimitAreIgnored) {
    Machine m;
    for (std::uint32_t id = 0; id < 1030; ++id) m.node(id, std::nullopt, std::nullopt);

    CpuTopology expected;
    for (std::uint32_t id = 0; id < 1024; ++id) {
        std::vector<std::uint32_t> row(1024, 20);
        row[id] = 10;
        expected.nodes.push_back(NumaNode{{}, row, id});
        expected.node_to_index.push_back(id);
        for (std::uint32_t other = 0; other < 1024; ++other) {
            if (other != id) expected.adjacency.push_back(other);
        }
    }
    expected.processor_to_node.assign(2, unlisted);
    expected.logical_processors = 2;
    std::optional<CpuTopology> topology = m.detect(2);
    ASSERT_TRUE(topology.has_value());
    EXPECT_EQ(topology->nodes.size(), 1024u);
    EXPECT_TRUE(*topology == expected);
}

// Detection reads the trees anew on every call.
TEST(GarvonDetectTest, EveryCallReadsTheTreesAgain) {
    Machine m;
    m.node(0, "0-1\n", "10\n");
    std::optional<CpuTopology> first = m.detect(2);
    m.node(1, "2-3\n", "20 10\n");
    m.capacities({"1\n", "2\n"});
    std::optional<CpuTopology> second = m.detect(2);

    CpuTopology expected_first;
    expected_first.nodes = {NumaNode{{0, 1}, {10}, 0}};
    expected_first.processor_to_node = {0, 0};
    expected_first.node_to_index = {0};
    expected_first.logical_processors = 2;
    EXPECT_EQ(first, expected_first);

    // Node 0's one-value row is read by position (node 1 missing, so 20); node 1's row
    // covers both ids.
    CpuTopology expected_second;
    expected_second.nodes = {NumaNode{{0, 1}, {10}, 0}, NumaNode{{2, 3}, {20, 10}, 1}};
    expected_second.processor_to_node = {0, 0, 1, 1};
    expected_second.node_to_index = {0, 1};
    expected_second.adjacency = {1, 0};
    expected_second.logical_processors = 2;
    expected_second.efficiency_classes = std::vector<std::uint8_t>{0, 1};
    EXPECT_EQ(second, expected_second);
}

TEST(GarvonDetectTest, RealMachine) {
    std::optional<CpuTopology> first = detect::detect();
    std::optional<CpuTopology> second = detect::detect();
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(*first, *second);

    const CpuTopology& topology = *first;
    EXPECT_EQ(topology.logical_processors,
              garvon::topology::cpu::parallelism::available_parallelism().value_or(1));
    ASSERT_FALSE(topology.nodes.empty());
    EXPECT_GE(topology.processor_to_node.size(), topology.logical_processors);
    for (std::size_t i = 1; i < topology.nodes.size(); ++i) EXPECT_LT(topology.nodes[i - 1].id, topology.nodes[i].id);
    std::size_t n = topology.nodes.size();
    EXPECT_EQ(topology.adjacency.size(), n * (n - 1));

    // The processor the thread runs on is listed by the node getcpu names.
    auto locality = garvon::query::platform::query_cpu_locality_os();
    ASSERT_TRUE(locality.has_value());
    ASSERT_LT(locality->processor, topology.processor_to_node.size());
    if (n == 1) {
        EXPECT_EQ(topology.processor_to_node[locality->processor], topology.nodes[0].id);
    }
}

TEST(GarvonDetectTest, RealCurrentNodeOnAOneNodeMachine) {
    std::optional<CpuTopology> topology = detect::detect();
    ASSERT_TRUE(topology.has_value());
    if (topology->nodes.size() != 1 || topology->nodes[0].id != 0) {
        GTEST_SKIP() << "machine has " << topology->nodes.size() << " nodes";
    }
    std::thread thread([] {
        EXPECT_EQ(garvon::query::cache::cached_node(), 0u);
        EXPECT_EQ(garvon::query::cache::refresh_cached_node(), 0u);
        EXPECT_EQ(garvon::query::cache::cached_node(), 0u);
    });
    thread.join();
}

}  // namespace
