#include "garvon/query/platform.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include "garvon/law/identity.hpp"

namespace garvon::query::platform {
namespace {

constexpr long getcpu_syscall = 309;
#if defined(__x86_64__) && defined(SYS_getcpu)
static_assert(SYS_getcpu == getcpu_syscall, "getcpu is system call 309 on x86-64");
#endif

// Processor numbers beyond this are outside every table the topology builds.
constexpr std::uint32_t processor_limit = 32768;

}  // namespace

namespace detail {

std::optional<CpuLocality> locality_from_getcpu(long result, std::uint32_t processor, std::uint32_t node) {
    if (result != 0 || processor >= processor_limit || node >= law::identity::max_node_ids) return std::nullopt;
    return CpuLocality{processor, node};
}

}  // namespace detail

std::optional<CpuLocality> query_cpu_locality_os() {
    unsigned processor = 0;
    unsigned node = 0;
    long result = ::syscall(getcpu_syscall, &processor, &node, nullptr);
    return detail::locality_from_getcpu(result, processor, node);
}

std::string cut_thread_name(std::string_view name) { return std::string(name.substr(0, thread_name_bytes)); }

}  // namespace garvon::query::platform
