#include "garvon/law/invariant.hpp"

namespace garvon::law::invariant {

void fail(const std::string& message) {
    kavrel::domain::error::fail_invariant(message);
}

}  // namespace garvon::law::invariant
