// Prints a detected topology as JSON, so that fixture trees and the real machine can be
// inspected side by side. Without options it reads the real sysfs and parallelism.
//
//   garvon_topology_json [--node-root DIR] [--cpu-root DIR] [--parallelism N | --no-parallelism]
//                        [--proc-self DIR] [--mount-prefix DIR]
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "garvon/law/invariant.hpp"
#include "garvon/topology/cpu/detect/linux.hpp"
#include "garvon/topology/cpu/parallelism.hpp"
#include "garvon/topology/cpu/text.hpp"

namespace {

using garvon::topology::cpu::topology::CpuTopology;
namespace detect = garvon::topology::cpu::detect::linux;
namespace parallelism = garvon::topology::cpu::parallelism;

template <typename T>
void write_array(std::ostream& out, const std::vector<T>& values) {
    out << '[';
    for (std::size_t i = 0; i < values.size(); ++i) out << (i ? ", " : "") << std::uint64_t{values[i]};
    out << ']';
}

template <typename T>
void write_optional_array(std::ostream& out, const std::optional<std::vector<T>>& values) {
    if (values) {
        write_array(out, *values);
    } else {
        out << "null";
    }
}

void write_topology(std::ostream& out, const CpuTopology& topology) {
    out << "{\n  \"nodes\": [";
    for (std::size_t i = 0; i < topology.nodes.size(); ++i) {
        const auto& node = topology.nodes[i];
        out << (i ? ",\n" : "\n") << "    {\"id\": " << node.id << ", \"cpus\": ";
        write_array(out, node.cpus);
        out << ", \"distances\": ";
        write_array(out, node.distances);
        out << '}';
    }
    out << "\n  ],\n  \"processor_to_node\": ";
    write_array(out, topology.processor_to_node);
    out << ",\n  \"node_to_index\": ";
    write_array(out, topology.node_to_index);
    out << ",\n  \"adjacency\": ";
    write_array(out, topology.adjacency);
    out << ",\n  \"logical_processors\": " << topology.logical_processors;
    out << ",\n  \"caches\": ";
    if (topology.caches) {
        out << '[';
        for (std::size_t i = 0; i < topology.caches->size(); ++i) {
            const auto& cache = (*topology.caches)[i];
            out << (i ? ",\n" : "\n") << "    {\"level\": " << cache.level << ", \"size\": " << cache.size
                << ", \"line_size\": ";
            if (cache.line_size) {
                out << *cache.line_size;
            } else {
                out << "null";
            }
            out << ", \"shared_cpus\": ";
            write_array(out, cache.shared_cpus);
            out << '}';
        }
        out << "\n  ]";
    } else {
        out << "null";
    }
    out << ",\n  \"efficiency_classes\": ";
    write_optional_array(out, topology.efficiency_classes);
    out << ",\n  \"core_ids\": ";
    write_optional_array(out, topology.core_ids);
    out << "\n}\n";
}

int usage() {
    std::cerr << "usage: garvon_topology_json [--node-root DIR] [--cpu-root DIR]"
                 " [--parallelism N | --no-parallelism] [--proc-self DIR] [--mount-prefix DIR]\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    detect::detail::SysfsRoots roots;
    parallelism::detail::CgroupRoots cgroup_roots;
    std::optional<std::uint64_t> forced_parallelism;
    bool no_parallelism = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view option = argv[i];
        if (option == "--no-parallelism") {
            no_parallelism = true;
            continue;
        }
        if (i + 1 >= argc) return usage();
        std::string value = argv[++i];
        if (option == "--node-root") {
            roots.node_root = value;
        } else if (option == "--cpu-root") {
            roots.cpu_root = value;
        } else if (option == "--proc-self") {
            cgroup_roots.proc_self = value;
        } else if (option == "--mount-prefix") {
            cgroup_roots.mount_prefix = value;
        } else if (option == "--parallelism") {
            forced_parallelism = garvon::topology::cpu::text::parse_u64(value);
            if (!forced_parallelism) return usage();
        } else {
            return usage();
        }
    }

    std::optional<std::uint64_t> available = forced_parallelism;
    if (!forced_parallelism && !no_parallelism) {
        available = parallelism::detail::available_parallelism_from(parallelism::detail::affinity_cpu_count(),
                                                                    cgroup_roots);
    }
    try {
        std::optional<CpuTopology> topology = detect::detail::detect_from(roots, available);
        if (!topology) {
            std::cerr << "no topology detected\n";
            return 1;
        }
        write_topology(std::cout, *topology);
    } catch (const garvon::law::invariant::InternalError& error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
    return 0;
}
