// FastBuildHasher, the hash of the profiler's maps: a 64-bit value x hashes to the
// SplitMix64 finaliser of x times the golden-ratio constant; an address sequence starts
// from the hash of its length and folds in every byte (little-endian) as h = h * 109 ^ b.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace ostrel_prof::hash {

inline constexpr std::uint64_t splitmix64_finalize(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ull;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebull;
    x ^= x >> 31;
    return x;
}

inline constexpr std::uint64_t hash_u64(std::uint64_t x) { return splitmix64_finalize(x) * 0x9e3779b97f4a7c15ull; }

inline constexpr std::uint64_t hash_addresses(std::span<const std::uintptr_t> addresses) {
    std::uint64_t h = hash_u64(addresses.size());
    for (std::uintptr_t address : addresses) {
        for (int byte = 0; byte < 8; ++byte) h = (h * 109) ^ ((std::uint64_t{address} >> (8 * byte)) & 0xFF);
    }
    return h;
}

struct FastBuildHasher {
    std::size_t operator()(std::uint64_t x) const { return static_cast<std::size_t>(hash_u64(x)); }
    std::size_t operator()(std::span<const std::uintptr_t> addresses) const {
        return static_cast<std::size_t>(hash_addresses(addresses));
    }
};

}  // namespace ostrel_prof::hash
