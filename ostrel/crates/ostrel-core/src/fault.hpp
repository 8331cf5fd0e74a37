// The allocator's answer to corrupted state: broken free lists, double frees found at a
// list head, blocks outside their page and addresses at or above 2^48 end the process at
// once, without a message (writing one could itself allocate or touch the broken state).
#pragma once

namespace ostrel_core::fault {

[[noreturn]] void abort_corrupted() noexcept;

}  // namespace ostrel_core::fault
