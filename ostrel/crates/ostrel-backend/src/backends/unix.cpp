#include "ostrel_backend/backends/unix.hpp"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "ostrel_backend/recorders/stats.hpp"
#include "ostrel_core/options.hpp"

namespace ostrel_backend::backends::unix {

constinit std::atomic<std::uint8_t> MADV_FREE_SUPPORTED{madv_free_unprobed};

namespace {

constexpr std::size_t huge_hint_threshold = 0x200000;
constexpr unsigned long mpol_bind = 2;
// Relaxed: tests set the hook before the code under test runs on any other thread.
constinit std::atomic<detail::MapFn> map_hook{nullptr};

int system_madvise(void* address, std::size_t length, int advice) { return ::madvise(address, length, advice); }

}  // namespace

namespace detail {

void set_map_hook(MapFn hook) { map_hook.store(hook, std::memory_order_relaxed); }

void* map_anonymous(std::size_t length) {
    void* address = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return address == MAP_FAILED ? nullptr : address;
}

bool decommit_with(MadviseFn madvise_fn, void* address, std::size_t length) {
    bool done = false;
    // Relaxed: see MADV_FREE_SUPPORTED; every prober stores the same answer.
    switch (MADV_FREE_SUPPORTED.load(std::memory_order_relaxed)) {
        case madv_free_works:
            done = madvise_fn(address, length, MADV_FREE) == 0;
            break;
        case madv_free_missing:
            done = madvise_fn(address, length, MADV_DONTNEED) == 0;
            break;
        default:
            if (madvise_fn(address, length, MADV_FREE) == 0) {
                MADV_FREE_SUPPORTED.store(madv_free_works, std::memory_order_relaxed);
                done = true;
            } else {
                MADV_FREE_SUPPORTED.store(madv_free_missing, std::memory_order_relaxed);
                done = madvise_fn(address, length, MADV_DONTNEED) == 0;
            }
            break;
    }
    // Relaxed: see DECOMMIT_BYTES.
    if (done) recorders::stats::DECOMMIT_BYTES.fetch_add(length, std::memory_order_relaxed);
    return done;
}

NodeMask node_mask_for(std::uint32_t node) {
    NodeMask mask{};
    // A node beyond the mask's reach is left unbound rather than bound to a wrong node.
    std::uint32_t word = node / 64;
    if (word >= sizeof mask.words / sizeof mask.words[0]) return mask;
    mask.words[word] = std::uint64_t{1} << (node % 64);
    mask.word_count = word + 1;
    mask.max_node = static_cast<unsigned long>(mask.word_count * 64 + 1);
    return mask;
}

}  // namespace detail

void* UnixBackend::allocate(std::size_t length) {
    // Relaxed: see map_hook; the option is read once per process.
    detail::MapFn hook = map_hook.load(std::memory_order_relaxed);
    void* address = hook ? hook(length) : detail::map_anonymous(length);
    if (address == nullptr) return nullptr;
    if (length >= huge_hint_threshold && ostrel_core::options::ENABLE_HUGEPAGE_HINT.load(std::memory_order_relaxed)) {
        (void)::madvise(address, length, MADV_HUGEPAGE);
    }
    return address;
}

bool UnixBackend::deallocate(void* address, std::size_t length) { return ::munmap(address, length) == 0; }

bool UnixBackend::decommit(void* address, std::size_t length) {
    return detail::decommit_with(&system_madvise, address, length);
}

void UnixBackend::bind_to_node(void* address, std::size_t length, std::uint32_t node) {
    detail::NodeMask mask = detail::node_mask_for(node);
    if (mask.word_count == 0) return;
    // syscall() is variadic and the kernel reads each argument as a full unsigned long: a
    // narrower int would leave the register's upper half to chance.
    (void)::syscall(SYS_mbind, reinterpret_cast<unsigned long>(address), static_cast<unsigned long>(length), mpol_bind,
                    reinterpret_cast<unsigned long>(mask.words), mask.max_node, 0UL);
}

}  // namespace ostrel_backend::backends::unix
