// Internal errors of garvon: a violated hard limit or internal invariant throws the
// system's one internal-error exception, so the Python boundary and the executor catch
// it like any other. Messages begin with "invariant:" or "invariant check failed:".
#pragma once

#include <cstdint>
#include <string>

#include "kavrel/domain/error/error.hpp"

namespace garvon::law::invariant {

using InternalError = kavrel::domain::error::InternalError;

[[noreturn]] void fail(const std::string& message);

// Appends the decimal form of value (std::format is not available with g++ 12).
void append_decimal(std::string& out, std::uint64_t value);

}  // namespace garvon::law::invariant
