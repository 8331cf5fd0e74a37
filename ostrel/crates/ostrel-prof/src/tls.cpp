#include "ostrel_prof/tls.hpp"

namespace ostrel_prof::tls {

constinit thread_local ThreadState THREAD_STATE{};

}  // namespace ostrel_prof::tls
