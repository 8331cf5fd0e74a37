// Test helpers: a temporary directory tree for sysfs and cgroup fixtures (removed when the
// fixture goes), and printers so that a failed whole-record comparison shows both sides.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "garvon/topology/cpu/topology.hpp"
#include "garvon/topology/types/cpu.hpp"

namespace garvon::testing {

class TempTree {
public:
    TempTree() {
        std::string pattern = (std::filesystem::temp_directory_path() / "garvon-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        root_ = pattern;
    }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;
    ~TempTree() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    std::string path(const std::string& relative = "") const { return relative.empty() ? root_ : root_ + "/" + relative; }

    // Writes content to relative, creating parent directories.
    void write(const std::string& relative, const std::string& content) const {
        std::filesystem::path file = path(relative);
        std::filesystem::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) throw std::runtime_error("cannot write fixture file " + file.string());
    }

    // Running as root, permissions do not make a file unreadable; a directory in its
    // place does (read fails with EISDIR).
    void make_dir(const std::string& relative) const { std::filesystem::create_directories(path(relative)); }

private:
    std::string root_;
};

}  // namespace garvon::testing

namespace garvon::topology::types::cpu {

inline void print_list(const std::vector<std::uint32_t>& values, std::ostream* os) {
    *os << '[';
    for (std::size_t i = 0; i < values.size(); ++i) *os << (i ? "," : "") << values[i];
    *os << ']';
}

inline void PrintTo(const NumaNode& node, std::ostream* os) {
    *os << "{id " << node.id << " cpus ";
    print_list(node.cpus, os);
    *os << " distances ";
    print_list(node.distances, os);
    *os << '}';
}

inline void PrintTo(const CacheLevel& cache, std::ostream* os) {
    *os << "{L" << cache.level << " size " << cache.size << " line ";
    if (cache.line_size) {
        *os << *cache.line_size;
    } else {
        *os << "none";
    }
    *os << " shared ";
    print_list(cache.shared_cpus, os);
    *os << '}';
}

}  // namespace garvon::topology::types::cpu

namespace garvon::topology::cpu::topology {

template <typename T>
void print_optional(const std::optional<std::vector<T>>& values, std::ostream* os) {
    if (!values) {
        *os << "absent";
        return;
    }
    *os << '[';
    for (std::size_t i = 0; i < values->size(); ++i) *os << (i ? "," : "") << std::uint64_t{(*values)[i]};
    *os << ']';
}

inline void PrintTo(const CpuTopology& topology, std::ostream* os) {
    *os << "\n  nodes:";
    for (const auto& node : topology.nodes) {
        *os << ' ';
        types::cpu::PrintTo(node, os);
    }
    *os << "\n  processor_to_node: ";
    print_optional(std::optional(topology.processor_to_node), os);
    *os << "\n  node_to_index: ";
    print_optional(std::optional(topology.node_to_index), os);
    *os << "\n  adjacency: ";
    print_optional(std::optional(topology.adjacency), os);
    *os << "\n  logical_processors: " << topology.logical_processors << "\n  caches:";
    if (!topology.caches) {
        *os << " absent";
    } else {
        for (const auto& cache : *topology.caches) {
            *os << ' ';
            types::cpu::PrintTo(cache, os);
        }
    }
    *os << "\n  efficiency_classes: ";
    print_optional(topology.efficiency_classes, os);
    *os << "\n  core_ids: ";
    print_optional(topology.core_ids, os);
    *os << '\n';
}

}  // namespace garvon::topology::cpu::topology
