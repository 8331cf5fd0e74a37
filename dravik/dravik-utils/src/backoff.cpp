#include "dravik_utils/backoff.hpp"

#include <sched.h>

namespace dravik_utils::backoff {

void yield_processor() noexcept { sched_yield(); }

}  // namespace dravik_utils::backoff
