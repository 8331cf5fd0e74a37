// The 52 size classes of small requests (up to 16 KiB): their block sizes, how many blocks
// fit a 64 KiB page, the lookup from a size in 16-byte steps to its class, and the rule
// that decides whether a request of a size and an alignment is small, and of which class.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace ostrel_local::selector {

inline constexpr std::uint32_t SIZE_CLASSES = 52;
inline constexpr std::uint8_t NO_CLASS = 255;  // a size without a class
inline constexpr std::size_t SMALL_LIMIT = 16384;

namespace detail {

// Five runs: 16..128 step 16, 160..512 step 32, 640..2048 step 128, 2560..8192 step 512,
// 9216..16384 step 1024.
constexpr std::array<std::uint16_t, SIZE_CLASSES> make_block_sizes() {
    struct Run {
        std::uint16_t first, step, count;
    };
    constexpr Run runs[] = {{16, 16, 8}, {160, 32, 12}, {640, 128, 12}, {2560, 512, 12}, {9216, 1024, 8}};
    std::array<std::uint16_t, SIZE_CLASSES> sizes{};
    std::size_t at = 0;
    for (Run run : runs) {
        for (std::uint16_t k = 0; k < run.count; ++k) sizes[at++] = static_cast<std::uint16_t>(run.first + k * run.step);
    }
    return sizes;
}

}  // namespace detail

inline constexpr std::array<std::uint16_t, SIZE_CLASSES> CLASS_BLOCK_SIZE = detail::make_block_sizes();

inline constexpr std::array<std::uint16_t, SIZE_CLASSES> CLASS_PAGE_CAPACITY = [] {
    std::array<std::uint16_t, SIZE_CLASSES> capacity{};
    for (std::size_t c = 0; c < SIZE_CLASSES; ++c) capacity[c] = static_cast<std::uint16_t>(65536 / CLASS_BLOCK_SIZE[c]);
    return capacity;
}();

// Entry i: the smallest class whose block size is at least 16 * i.
inline constexpr std::array<std::uint8_t, 1025> SIZE_CLASS_INDEX = [] {
    std::array<std::uint8_t, 1025> index{};
    std::uint8_t c = 0;
    for (std::size_t i = 0; i <= 1024; ++i) {
        while (CLASS_BLOCK_SIZE[c] < 16 * i) ++c;
        index[i] = c;
    }
    return index;
}();

// The class of a request of `size` bytes aligned to `alignment`, or NO_CLASS when it is
// large. Requires: `alignment` is a power of two (any other alignment gives NO_CLASS, and
// the large path then refuses it).
inline std::uint8_t small_class(std::size_t size, std::size_t alignment) {
    if (alignment == 0 || (alignment & (alignment - 1)) != 0) return NO_CLASS;
    if (alignment <= 16) return size <= SMALL_LIMIT ? SIZE_CLASS_INDEX[(size + 15) / 16] : NO_CLASS;
    std::size_t rounded = size > alignment ? size : alignment;
    if (rounded > SMALL_LIMIT) return NO_CLASS;
    rounded = (rounded + alignment - 1) & ~(alignment - 1);
    if (rounded > SMALL_LIMIT) return NO_CLASS;
    std::uint8_t c = SIZE_CLASS_INDEX[(rounded + 15) / 16];
    // Blocks sit at multiples of the block size from a 64 KiB boundary.
    return CLASS_BLOCK_SIZE[c] % alignment == 0 ? c : NO_CLASS;
}

}  // namespace ostrel_local::selector
