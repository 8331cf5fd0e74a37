// Reading the allocator's six environment variables, once per process, at the first small
// allocation that takes the slow path (never when the module is imported). Values that do
// not parse, that are 32 bytes or longer or that are not UTF-8 leave their defaults.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

namespace ostrel_local::options {

// 1 once a thread has swapped it from 0 and read the options.
extern constinit std::atomic<std::uint8_t> OPTIONS_INIT;

// Reads the options unless they were read; may start the decay thread and switch on the
// profiler. Another thread allocating meanwhile may still see defaults.
void init_options_from_env();

// "1" or "true" (any ASCII case) is true, "0" or "false" is false, after trimming white
// space; anything else is absent.
std::optional<bool> parse_env_bool(const char* name);
// Decimal digits with an optional leading "+", after trimming; absent when empty, signed
// with "-", not all digits, or above 2^64 - 1.
std::optional<std::uint64_t> parse_env_usize(const char* name);

namespace detail {

// The reading itself, without the once-per-process guard.
void apply_options_from_env();

}  // namespace detail

}  // namespace ostrel_local::options
