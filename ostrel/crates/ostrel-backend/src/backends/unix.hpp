// The Linux memory backend: anonymous private mappings with an optional huge-page hint,
// decommit of a range without unmapping it, unmapping, and binding a range to one NUMA
// node. Every platform call is made directly; mbind goes through the raw system call, so
// no NUMA library is needed and a failing bind (a one-node machine, a sandbox) is ignored.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace ostrel_backend::backends::unix {

inline constexpr std::uint8_t madv_free_unprobed = 2;
inline constexpr std::uint8_t madv_free_works = 1;
inline constexpr std::uint8_t madv_free_missing = 0;

// Whether MADV_FREE works. Several threads may probe at once; each stores the same answer,
// so relaxed order is enough.
extern constinit std::atomic<std::uint8_t> MADV_FREE_SUPPORTED;

struct UnixBackend {
    // A read-write anonymous mapping, or nullptr when mmap fails. Mappings of 2 MiB or more
    // get MADV_HUGEPAGE while ENABLE_HUGEPAGE_HINT is on (its result ignored).
    static void* allocate(std::size_t length);
    // munmap; false when it fails.
    static bool deallocate(void* address, std::size_t length);
    // Releases the physical pages of the range, keeping it mapped; true when madvise
    // succeeded, in which case the length is added to DECOMMIT_BYTES.
    static bool decommit(void* address, std::size_t length);
    // mbind MPOL_BIND to `node`; the result is ignored.
    static void bind_to_node(void* address, std::size_t length, std::uint32_t node);
};

namespace detail {

using MadviseFn = int (*)(void* address, std::size_t length, int advice);
using MapFn = void* (*)(std::size_t length);

// Decommit through the given madvise, for tests of the MADV_FREE probe.
bool decommit_with(MadviseFn madvise_fn, void* address, std::size_t length);

// Test seam: when set, allocate asks this function instead of mmap (nullptr = failure).
void set_map_hook(MapFn hook);
// The raw mmap path the hook usually forwards to.
void* map_anonymous(std::size_t length);

// The mbind node mask: words of 64 bits with only `node`'s bit set, and the maxnode
// argument that covers them (the kernel reads maxnode - 1 bits).
struct NodeMask {
    std::uint64_t words[16];
    std::size_t word_count;
    unsigned long max_node;
};
NodeMask node_mask_for(std::uint32_t node);

}  // namespace detail

}  // namespace ostrel_backend::backends::unix
