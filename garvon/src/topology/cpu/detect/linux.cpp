#include "garvon/topology/cpu/detect/linux.hpp"

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>
#include <vector>

#include "garvon/law/identity.hpp"
#include "garvon/law/invariant.hpp"
#include "garvon/topology/cpu/cache/linux.hpp"
#include "garvon/topology/cpu/cpulist.hpp"
#include "garvon/topology/cpu/efficiency/efficiency.hpp"
#include "garvon/topology/cpu/efficiency/sysfs.hpp"
#include "garvon/topology/cpu/fs.hpp"
#include "garvon/topology/cpu/parallelism.hpp"
#include "garvon/topology/cpu/tables.hpp"
#include "garvon/topology/cpu/text.hpp"

namespace garvon::topology::cpu::detect::linux {
namespace detail {
namespace {

using law::identity::NumaNodeId;
using topology::CpuTopology;
using types::cpu::CoreId;
using types::cpu::NumaNode;

constexpr std::size_t max_node_entries = 1024;
constexpr std::size_t max_distance_values = 1024;
constexpr std::uint64_t max_processor_table = 32768;
constexpr std::uint32_t local_distance = 10;
constexpr std::uint32_t remote_distance = 20;

// The hybrid core types in class order: intel_atom processors rank below intel_core.
constexpr std::array<std::string_view, 2> core_type_names = {"intel_atom", "intel_core"};
constexpr std::uint32_t unassigned_core_type = 0xFFFFFFFF;

struct ProcessorNode {
    std::uint32_t processor;
    NumaNodeId node;
};

std::string node_file(const SysfsRoots& roots, NumaNodeId id, std::string_view name) {
    std::string path = roots.node_root;
    path += "/node";
    path += kavrel::domain::error::format_decimal(id);
    path += '/';
    path += name;
    return path;
}

std::string processor_file(const SysfsRoots& roots, std::uint64_t processor, std::string_view name) {
    std::string path = roots.cpu_root;
    path += "/cpu";
    path += kavrel::domain::error::format_decimal(processor);
    path += '/';
    path += name;
    return path;
}

// Ids of the entries node0 .. node1023, sorted; repeats (node1 beside node01) are kept
// so that the node-index table reports them.
std::vector<NumaNodeId> scan_node_ids(const SysfsRoots& roots) {
    std::vector<NumaNodeId> ids;
    auto listing = fs::list_dir(roots.node_root);
    if (!listing) return ids;
    for (const fs::DirEntry& entry : *listing) {
        auto id = text::parse_prefixed_u32(entry.name, "node");
        if (!id || *id >= law::identity::max_node_ids) continue;
        ids.push_back(*id);
        if (ids.size() == max_node_entries) break;
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::vector<std::uint32_t> read_distance_row(const SysfsRoots& roots, NumaNodeId id, std::size_t position,
                                             std::size_t node_count) {
    auto content = fs::read_text(node_file(roots, id, "distance"));
    if (!content) {
        std::vector<std::uint32_t> synthetic(node_count, remote_distance);
        synthetic[position] = local_distance;
        return synthetic;
    }
    std::vector<std::uint32_t> row;
    for (std::string_view token : text::split_whitespace(*content)) {
        auto value = text::parse_u32(token);
        if (!value) continue;
        row.push_back(*value);
        if (row.size() == max_distance_values) break;
    }
    return row;
}

std::vector<NumaNode> read_nodes(const SysfsRoots& roots, const std::vector<NumaNodeId>& ids,
                                 std::vector<ProcessorNode>& pairs) {
    std::vector<NumaNode> nodes;
    nodes.reserve(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        NumaNode node;
        node.id = ids[i];
        if (auto cpulist = fs::read_text(node_file(roots, ids[i], "cpulist"))) {
            node.cpus = cpulist::parse_cpu_list(*cpulist);
            for (std::uint32_t processor : node.cpus) pairs.push_back(ProcessorNode{processor, node.id});
        }
        node.distances = read_distance_row(roots, ids[i], i, ids.size());
        nodes.push_back(std::move(node));
    }
    return nodes;
}

std::vector<std::uint32_t> build_processor_table(const std::vector<ProcessorNode>& pairs,
                                                 std::uint64_t available) {
    std::uint64_t length = available;
    for (const ProcessorNode& pair : pairs) length = std::max<std::uint64_t>(length, std::uint64_t{pair.processor} + 1);
    if (length > max_processor_table) {
        std::string message = "invariant check failed: processor count ";
        message += kavrel::domain::error::format_decimal(length);
        message += " exceeds maximum limit of 32768";
        law::invariant::fail(message);
    }
    // Later pairs win, so a processor listed by two nodes ends with the higher id.
    std::vector<std::uint32_t> table(length, topology::unlisted_processor);
    for (const ProcessorNode& pair : pairs) table[pair.processor] = pair.node;
    return table;
}

// The core-type index of every processor when the type lists cover 0 .. A - 1 exactly
// once; absent otherwise (the capacities decide then).
std::optional<std::vector<std::uint32_t>> core_types(const SysfsRoots& roots, std::uint64_t available) {
    std::vector<std::uint32_t> types(available, unassigned_core_type);
    for (std::uint32_t type = 0; type < core_type_names.size(); ++type) {
        std::string path = roots.cpu_root;
        path += "/types/";
        path += core_type_names[type];
        path += "/cpulist";
        auto content = fs::read_text(path);
        if (!content) continue;
        for (std::uint32_t processor : cpulist::parse_cpu_list(*content)) {
            if (processor >= available || types[processor] != unassigned_core_type) return std::nullopt;
            types[processor] = type;
        }
    }
    if (std::ranges::find(types, unassigned_core_type) != types.end()) return std::nullopt;
    return types;
}

std::optional<std::vector<std::uint8_t>> read_efficiency_classes(const SysfsRoots& roots,
                                                                 std::uint64_t available) {
    if (auto types = core_types(roots, available)) {
        return efficiency::classes_from_capacities(*types, available);
    }
    auto capacities = efficiency::sysfs::capacities_from_cpu_capacity(roots.cpu_root, available);
    if (!capacities) return std::nullopt;
    return efficiency::classes_from_capacities(*capacities, available);
}

// Sibling lists must agree: each processor is in its own list, and every member lists
// it back. The smallest member stands for the core.
std::optional<std::vector<CoreId>> read_core_ids(const SysfsRoots& roots, std::uint64_t available) {
    std::vector<std::vector<std::uint32_t>> siblings;
    siblings.reserve(available);
    for (std::uint64_t p = 0; p < available; ++p) {
        auto content = fs::read_text(processor_file(roots, p, "topology/thread_siblings_list"));
        if (!content) return std::nullopt;
        std::vector<std::uint32_t> list = cpulist::parse_cpu_list(*content);
        std::sort(list.begin(), list.end());
        siblings.push_back(std::move(list));
    }
    auto lists = [&](std::uint64_t owner, std::uint32_t member) {
        return std::binary_search(siblings[owner].begin(), siblings[owner].end(), member);
    };

    constexpr std::uint32_t no_core = 0xFFFFFFFF;
    std::vector<CoreId> core_of_representative(available, no_core);
    std::vector<CoreId> core_ids;
    core_ids.reserve(available);
    CoreId next_core = 0;
    for (std::uint64_t p = 0; p < available; ++p) {
        const std::vector<std::uint32_t>& list = siblings[p];
        if (list.empty() || !lists(p, static_cast<std::uint32_t>(p))) return std::nullopt;
        for (std::uint32_t member : list) {
            if (member >= available || !lists(member, static_cast<std::uint32_t>(p))) return std::nullopt;
        }
        std::uint32_t representative = list.front();
        if (core_of_representative[representative] == no_core) core_of_representative[representative] = next_core++;
        core_ids.push_back(core_of_representative[representative]);
    }
    return core_ids;
}

}  // namespace

std::optional<CpuTopology> detect_from(const SysfsRoots& roots, std::optional<std::uint64_t> available_parallelism) {
    // A count of 0 cannot be right, so it is treated like an undetermined one.
    const std::uint64_t available = std::max<std::uint64_t>(1, available_parallelism.value_or(1));
    std::vector<NumaNodeId> ids = scan_node_ids(roots);
    if (ids.empty()) return CpuTopology::single_node(available);

    // Reserved for one pair per processor, but never more than the table can hold, so
    // a huge parallelism reaches the table check below instead of failing to allocate.
    std::vector<ProcessorNode> pairs;
    pairs.reserve(std::min(available, max_processor_table));

    CpuTopology topology;
    topology.nodes = read_nodes(roots, ids, pairs);
    topology.logical_processors = available;
    topology.processor_to_node = build_processor_table(pairs, available);
    topology.node_to_index = tables::build_node_to_index(topology.nodes);
    topology.adjacency = tables::build_adjacent_nodes(topology.nodes);
    topology.caches = cache::linux::detect(roots.cpu_root);
    topology.efficiency_classes = read_efficiency_classes(roots, available);
    topology.core_ids = read_core_ids(roots, available);
    return topology;
}

}  // namespace detail

std::optional<topology::CpuTopology> detect() {
    return detail::detect_from(detail::SysfsRoots{}, parallelism::available_parallelism());
}

}  // namespace garvon::topology::cpu::detect::linux
