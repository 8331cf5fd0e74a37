// The backend interface the arena and the thread allocator are written against, and the
// one backend they are instantiated with.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>

#include "ostrel_backend/backends/unix.hpp"

namespace ostrel_backend::backends {

template <class B>
concept MemoryBackend = requires(void* address, std::size_t length, std::uint32_t node) {
    { B::allocate(length) } -> std::same_as<void*>;
    { B::deallocate(address, length) } -> std::same_as<bool>;
    { B::decommit(address, length) } -> std::same_as<bool>;
    { B::bind_to_node(address, length, node) } -> std::same_as<void>;
};

using MemoryBackendWrapper = unix::UnixBackend;
static_assert(MemoryBackend<MemoryBackendWrapper>);

}  // namespace ostrel_backend::backends
