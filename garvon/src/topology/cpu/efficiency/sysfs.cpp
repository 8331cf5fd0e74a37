#include "garvon/topology/cpu/efficiency/sysfs.hpp"

#include "garvon/law/invariant.hpp"
#include "garvon/topology/cpu/fs.hpp"
#include "garvon/topology/cpu/text.hpp"

namespace garvon::topology::cpu::efficiency::sysfs {

std::optional<std::vector<std::uint32_t>> capacities_from_cpu_capacity(std::string_view cpu_root,
                                                                      std::uint64_t processors) {
    std::vector<std::uint32_t> capacities;
    for (std::uint64_t p = 0; p < processors; ++p) {
        std::string path(cpu_root);
        path += "/cpu";
        path += kavrel::domain::error::format_decimal(p);
        path += "/cpu_capacity";
        auto content = fs::read_text(path);
        if (!content) return std::nullopt;
        auto capacity = text::parse_u32(text::trim(*content));
        if (!capacity || *capacity == 0) return std::nullopt;
        capacities.push_back(*capacity);
    }
    return capacities;
}

}  // namespace garvon::topology::cpu::efficiency::sysfs
