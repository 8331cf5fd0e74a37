// Large blocks: requests no size class serves, each in an anonymous mapping of its own with
// a segment-shaped header at the mapping's first 2 MiB boundary and the header's address in
// the word before the user block. Freed mappings wait in their node's length buckets until
// a later request of a fitting length reuses them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace ostrel_arena::arena {

// A block of `size` bytes aligned to `alignment`, or nullptr when memory is exhausted or
// the request is invalid. Requires nothing: size 0, sizes of 2^63 or more, an alignment
// that is not a power of two or exceeds 2 MiB all give nullptr.
void* allocate_large_or_huge(std::size_t size, std::size_t alignment);

// Returns the block's mapping to a bucket of its node, or unmaps it. Requires: `block`
// came from allocate_large_or_huge; a header word that does not lead to a large-block
// header aborts the process.
void deallocate_large_or_huge(void* block);

// The mapping length a request needs: size + max(alignment, 64 KiB) + 2 MiB; none when it
// would reach 2^63.
std::optional<std::uint64_t> large_mapping_length(std::size_t size, std::size_t alignment);

}  // namespace ostrel_arena::arena
