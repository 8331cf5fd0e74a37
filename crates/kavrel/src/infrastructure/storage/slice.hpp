// Borrowed element storage: an address and a length in elements. Never freed by its
// holder; the buffer must outlive it.
#pragma once

#include <cstdint>

namespace kavrel::infrastructure::storage::slice {

template <class T>
struct SliceStorage {
    T* ptr;
    std::uint64_t len;
};

}  // namespace kavrel::infrastructure::storage::slice
