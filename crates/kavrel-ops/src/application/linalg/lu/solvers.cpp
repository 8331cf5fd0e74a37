#include "kavrel_ops/application/linalg/lu/solvers.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "kavrel_ops/application/linalg/lu/decompose.hpp"

namespace kavrel_ops::application::linalg::lu::solvers {

Result<Array<double, 2>> inv(const ArrayView<double, 2>& a) {
    auto f = decompose::lu_decompose(a);
    if (!f) return std::unexpected(std::move(f.error()));
    const std::size_t n = f->perm.size();
    std::vector<double> result(n * n);
    // Columns are solved in groups whose right-hand sides stay in the first-level cache together.
    constexpr std::size_t group = 8;
    std::vector<double> r(std::min(n, group) * n);
    for (std::size_t first = 0; first < n; first += group) {
        const std::size_t count = std::min(group, n - first);
        for (std::size_t c = 0; c < count; ++c)
            for (std::size_t i = 0; i < n; ++i) r[c * n + i] = f->perm[i] == first + c ? 1.0 : 0.0;
        f->solve_columns_in_place({r.data(), count * n}, count);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t c = 0; c < count; ++c) result[i * n + first + c] = r[c * n + i];
    }
    return Array<double, 2>::from_vec({n, n}, std::move(result));
}

}  // namespace kavrel_ops::application::linalg::lu::solvers
