#include "kavrel_ops/application/linalg/full_piv_lu.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::full_piv_lu {

Array<double, 2> lower_factor(const FullPivLuDecomposition& f) {
    const std::size_t n = f.n;
    std::vector<double> l(n * n);
    for (std::size_t i = 0; i < n; ++i) {
        std::copy_n(f.lu.data() + i * n, std::min<std::size_t>(i, f.rank), l.data() + i * n);
        l[i * n + i] = 1.0;
    }
    return kavrel::domain::error::expect(Array<double, 2>::from_vec({n, n}, std::move(l)), "L shape matches storage");
}

Array<double, 2> upper_factor(const FullPivLuDecomposition& f) {
    const std::size_t n = f.n;
    std::vector<double> u(n * n);
    for (std::size_t i = 0; i < n; ++i)
        std::copy(f.lu.data() + i * n + i, f.lu.data() + (i + 1) * n, u.data() + i * n + i);
    return kavrel::domain::error::expect(Array<double, 2>::from_vec({n, n}, std::move(u)), "U shape matches storage");
}

}  // namespace kavrel_ops::application::linalg::full_piv_lu
