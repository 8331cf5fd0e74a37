#include "kavrel_ops/application/linalg/bunch_kaufman.hpp"

#include "kavrel/domain/error/error.hpp"

namespace kavrel_ops::application::linalg::bunch_kaufman {

Array<double, 2> l_factor(const BunchKaufmanDecomposition& f) {
    return kavrel::domain::error::expect(Array<double, 2>::from_vec({f.n, f.n}, f.l), "L shape matches storage");
}

Array<double, 2> d_factor(const BunchKaufmanDecomposition& f) {
    return kavrel::domain::error::expect(Array<double, 2>::from_vec({f.n, f.n}, f.d), "D shape matches storage");
}

std::vector<std::uint64_t> permutation(const BunchKaufmanDecomposition& f) { return f.perm; }

}  // namespace kavrel_ops::application::linalg::bunch_kaufman
