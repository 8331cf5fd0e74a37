#include "ostrel_backend/backends/unix.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ostrel_backend/backends/backends.hpp"
#include "ostrel_backend/recorders/stats.hpp"
#include "ostrel_core/options.hpp"

namespace {

namespace unix_backend = ostrel_backend::backends::unix;
using ostrel_backend::backends::MemoryBackendWrapper;
using ostrel_backend::recorders::stats::DECOMMIT_BYTES;

// The VmFlags line of the mapping that starts at `address`, from /proc/self/smaps.
std::string vm_flags_of(void* address) {
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool in_mapping = false;
    auto start = reinterpret_cast<std::uintptr_t>(address);
    while (std::getline(smaps, line)) {
        std::uintptr_t lo = 0, hi = 0;
        char dash = 0;
        std::istringstream head(line);
        if (head >> std::hex >> lo >> dash >> hi && dash == '-') {
            in_mapping = lo <= start && start < hi;
            continue;
        }
        if (in_mapping && line.rfind("VmFlags:", 0) == 0) return line;
    }
    return {};
}

bool is_mapped(void* address) {
    unsigned char residency = 0;
    long page = sysconf(_SC_PAGESIZE);
    void* aligned = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(address) & ~std::uintptr_t(page - 1));
    return mincore(aligned, static_cast<std::size_t>(page), &residency) == 0 || errno != ENOMEM;
}

bool has_flag(const std::string& flags, const char* flag) {
    std::istringstream words(flags.substr(std::strlen("VmFlags:")));
    std::string word;
    while (words >> word) {
        if (word == flag) return true;
    }
    return false;
}

TEST(OstrelUnixBackendTest, MappingIsWritableAndUnmapped) {
    void* p = MemoryBackendWrapper::allocate(0x10000);
    ASSERT_NE(p, nullptr);
    std::memset(p, 0x5A, 0x10000);
    EXPECT_EQ(static_cast<unsigned char*>(p)[0xFFFF], 0x5A);
    EXPECT_TRUE(is_mapped(p));
    EXPECT_TRUE(MemoryBackendWrapper::deallocate(p, 0x10000));
    EXPECT_FALSE(is_mapped(p));
}

TEST(OstrelUnixBackendTest, HugePageHintOnlyForLongMappingsWhileEnabled) {
    struct Row {
        std::size_t length;
        bool hint_on;
        bool expect_hint;
    };
    const Row rows[] = {
        {0x200000, true, true}, {0x400000, true, true}, {0x1FF000, true, false}, {0x400000, false, false}};
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.length << " hint " << row.hint_on);
        ostrel_core::options::ENABLE_HUGEPAGE_HINT.store(row.hint_on);
        void* p = MemoryBackendWrapper::allocate(row.length);
        ASSERT_NE(p, nullptr);
        std::string flags = vm_flags_of(p);
        ASSERT_FALSE(flags.empty());
        EXPECT_EQ(has_flag(flags, "hg"), row.expect_hint) << flags;
        EXPECT_TRUE(MemoryBackendWrapper::deallocate(p, row.length));
    }
    ostrel_core::options::ENABLE_HUGEPAGE_HINT.store(true);
}

// A scripted madvise that records the advice it was given.
struct MadviseScript {
    bool free_works = true;
    bool dontneed_works = true;
    std::vector<int> calls;
};
MadviseScript* script = nullptr;
int scripted_madvise(void*, std::size_t, int advice) {
    script->calls.push_back(advice);
    bool ok = advice == MADV_FREE ? script->free_works : script->dontneed_works;
    return ok ? 0 : -1;
}

TEST(OstrelUnixBackendTest, FirstDecommitProbesMadvFree) {
    struct Row {
        const char* name;
        bool free_works, dontneed_works;
        std::uint8_t probed;
        std::vector<int> first_calls, later_calls;
        bool counted;
    };
    const Row rows[] = {
        {"MADV_FREE works", true, true, unix_backend::madv_free_works, {MADV_FREE}, {MADV_FREE}, true},
        {"kernel without MADV_FREE", false, true, unix_backend::madv_free_missing, {MADV_FREE, MADV_DONTNEED},
         {MADV_DONTNEED}, true},
        {"nothing works", false, false, unix_backend::madv_free_missing, {MADV_FREE, MADV_DONTNEED},
         {MADV_DONTNEED}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        MadviseScript current{row.free_works, row.dontneed_works, {}};
        script = &current;
        unix_backend::MADV_FREE_SUPPORTED.store(unix_backend::madv_free_unprobed);
        std::uint64_t before = DECOMMIT_BYTES.load();
        EXPECT_EQ(unix_backend::detail::decommit_with(&scripted_madvise, nullptr, 0x3000), row.counted);
        EXPECT_EQ(unix_backend::MADV_FREE_SUPPORTED.load(), row.probed);
        EXPECT_EQ(current.calls, row.first_calls);
        current.calls.clear();
        EXPECT_EQ(unix_backend::detail::decommit_with(&scripted_madvise, nullptr, 0x1000), row.counted);
        EXPECT_EQ(current.calls, row.later_calls);
        EXPECT_EQ(DECOMMIT_BYTES.load() - before, row.counted ? 0x4000u : 0u);
    }
    script = nullptr;
    unix_backend::MADV_FREE_SUPPORTED.store(unix_backend::madv_free_unprobed);
}

TEST(OstrelUnixBackendTest, RealDecommitKeepsTheRangeMappedAndCounts) {
    void* p = MemoryBackendWrapper::allocate(0x20000);
    ASSERT_NE(p, nullptr);
    std::memset(p, 1, 0x20000);
    std::uint64_t before = DECOMMIT_BYTES.load();
    EXPECT_TRUE(MemoryBackendWrapper::decommit(p, 0x20000));
    EXPECT_NE(unix_backend::MADV_FREE_SUPPORTED.load(), unix_backend::madv_free_unprobed);
    EXPECT_EQ(DECOMMIT_BYTES.load() - before, 0x20000u);
    EXPECT_TRUE(is_mapped(p));
    static_cast<unsigned char*>(p)[0] = 2;  // still writable
    EXPECT_TRUE(MemoryBackendWrapper::deallocate(p, 0x20000));
}

TEST(OstrelUnixBackendTest, NodeMaskCoversTheNodeBit) {
    struct Row {
        std::uint32_t node;
        std::size_t word;
        std::uint64_t bits;
        std::size_t word_count;
        unsigned long max_node;
    };
    const Row rows[] = {{0, 0, 1, 1, 65},
                        {5, 0, 1u << 5, 1, 65},
                        {63, 0, std::uint64_t{1} << 63, 1, 65},
                        {64, 1, 1, 2, 129},
                        {1023, 15, std::uint64_t{1} << 63, 16, 1025}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.node);
        unix_backend::detail::NodeMask mask = unix_backend::detail::node_mask_for(row.node);
        EXPECT_EQ(mask.word_count, row.word_count);
        EXPECT_EQ(mask.max_node, row.max_node);
        for (std::size_t w = 0; w < 16; ++w) EXPECT_EQ(mask.words[w], w == row.word ? row.bits : 0u) << w;
    }
    EXPECT_EQ(unix_backend::detail::node_mask_for(1024).word_count, 0u) << "beyond the mask: left unbound";
}

TEST(OstrelUnixBackendTest, BindingToTheCurrentNodeKeepsMemoryUsable) {
    void* p = MemoryBackendWrapper::allocate(0x200000);
    ASSERT_NE(p, nullptr);
    // On a one-node machine, or where mbind is refused, the call degrades to nothing.
    MemoryBackendWrapper::bind_to_node(p, 0x200000, 0);
    MemoryBackendWrapper::bind_to_node(p, 0x200000, 7);
    std::memset(p, 3, 0x200000);
    EXPECT_EQ(static_cast<unsigned char*>(p)[0x1FFFFF], 3);
    EXPECT_TRUE(MemoryBackendWrapper::deallocate(p, 0x200000));
}

// The system call reads every argument as a full register; the binding must take effect
// wherever the system allows mbind at all.
TEST(OstrelUnixBackendTest, BindingPlacesTheRangeOnTheNode) {
    constexpr unsigned long mpol_bind = 2, mpol_f_addr = 2, max_node = 65;
    constexpr std::size_t length = 0x200000;
    void* probe = MemoryBackendWrapper::allocate(length);
    ASSERT_NE(probe, nullptr);
    const unsigned long node0 = 1;
    const long allowed = ::syscall(SYS_mbind, probe, length, mpol_bind, &node0, max_node, 0UL);
    EXPECT_TRUE(MemoryBackendWrapper::deallocate(probe, length));
    if (allowed != 0) GTEST_SKIP() << "mbind is refused here: " << std::strerror(errno);

    void* p = MemoryBackendWrapper::allocate(length);
    ASSERT_NE(p, nullptr);
    MemoryBackendWrapper::bind_to_node(p, length, 0);
    int mode = -1;
    unsigned long nodes[2] = {0, 0};
    ASSERT_EQ(::syscall(SYS_get_mempolicy, &mode, nodes, 128UL, p, mpol_f_addr), 0) << std::strerror(errno);
    EXPECT_EQ(mode, static_cast<int>(mpol_bind));
    EXPECT_EQ(nodes[0], 1u);
    EXPECT_TRUE(MemoryBackendWrapper::deallocate(p, length));
}

void* refusing_map(std::size_t) { return nullptr; }

TEST(OstrelUnixBackendTest, MapHookReplacesMmap) {
    unix_backend::detail::set_map_hook(&refusing_map);
    EXPECT_EQ(MemoryBackendWrapper::allocate(0x1000), nullptr);
    unix_backend::detail::set_map_hook(nullptr);
    void* p = MemoryBackendWrapper::allocate(0x1000);
    EXPECT_NE(p, nullptr);
    EXPECT_TRUE(MemoryBackendWrapper::deallocate(p, 0x1000));
}

}  // namespace
