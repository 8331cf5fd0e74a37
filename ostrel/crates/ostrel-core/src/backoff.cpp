#include "ostrel_core/backoff.hpp"

#include <sched.h>

namespace ostrel_core::backoff {

void yield_processor() noexcept { sched_yield(); }

}  // namespace ostrel_core::backoff
