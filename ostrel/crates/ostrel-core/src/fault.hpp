// How the allocator ends the process. Corrupted state (broken free lists, double frees
// found at a list head, blocks outside their page, addresses at or above 2^48) aborts at
// once without a message: writing one could touch the broken state. An allocation that
// cannot be served ends the process with the system's one allocation-failure message.
#pragma once

#include <cstddef>

namespace ostrel_core::fault {

[[noreturn]] void abort_corrupted() noexcept;

// Writes "memory allocation of <bytes> bytes failed" and a line feed to standard error,
// without allocating, and aborts.
[[noreturn]] void report_allocation_failure(std::size_t bytes) noexcept;

}  // namespace ostrel_core::fault
