// The internal-error exception of garvon: a violated hard limit or internal invariant.
// garvon stands below the array core, so it carries its own type; its messages begin
// with "invariant:" or "invariant check failed:" like every internal error of the system.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace garvon::law::invariant {

class InternalError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

[[noreturn]] void fail(const std::string& message);

// Appends the decimal form of value (std::format is not available with g++ 12).
void append_decimal(std::string& out, std::uint64_t value);

}  // namespace garvon::law::invariant
