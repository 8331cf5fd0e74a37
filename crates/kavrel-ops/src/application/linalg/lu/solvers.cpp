#include "kavrel_ops/application/linalg/lu/solvers.hpp"

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
    std::vector<double> r(n);  // one right-hand side, reused for every column
    for (std::size_t j = 0; j < n; ++j) {
        for (std::size_t i = 0; i < n; ++i) r[i] = f->perm[i] == j ? 1.0 : 0.0;
        f->solve_in_place(r);
        for (std::size_t i = 0; i < n; ++i) result[i * n + j] = r[i];
    }
    return Array<double, 2>::from_vec({n, n}, std::move(result));
}

}  // namespace kavrel_ops::application::linalg::lu::solvers
