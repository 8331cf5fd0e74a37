#include "garvon/law/invariant.hpp"

#include <charconv>

namespace garvon::law::invariant {

void fail(const std::string& message) {
    kavrel::domain::error::fail_invariant(message);
}

void append_decimal(std::string& out, std::uint64_t value) {
    char digits[20];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

}  // namespace garvon::law::invariant
