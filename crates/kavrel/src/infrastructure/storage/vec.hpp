// Owning element storage: one growable buffer. The array holding it frees it when dropped.
#pragma once

#include <vector>

namespace kavrel::infrastructure::storage::vec {

template <class T>
struct VecStorage {
    std::vector<T> data;
};

}  // namespace kavrel::infrastructure::storage::vec
