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

}  // namespace garvon::law::invariant
