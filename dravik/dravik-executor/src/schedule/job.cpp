#include "dravik_executor/schedule/job.hpp"

namespace dravik_executor::schedule::job {

void drop_consumed(void*) noexcept {}

}  // namespace dravik_executor::schedule::job
