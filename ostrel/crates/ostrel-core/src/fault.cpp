#include "ostrel_core/fault.hpp"

#include <cstdlib>

namespace ostrel_core::fault {

void abort_corrupted() noexcept { std::abort(); }

}  // namespace ostrel_core::fault
