// The error of a failed count conversion: which value did not fit, and into what.
#pragma once

#include <cstdint>

namespace fennick::traits::count {

struct CountRangeError {
    std::uint64_t count;
    const char* target;  // static text naming the conversion target
};

}  // namespace fennick::traits::count
