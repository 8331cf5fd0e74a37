#include "kavrel_ops/application/linalg/svd.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "kavrel/application/iter/element/element_iter.hpp"

namespace kavrel_ops::application::linalg::svd {

namespace err = kavrel::domain::error;

Result<void> validate_input(const ArrayView<double, 2>& a) {
    const std::uint64_t m = a.rows(), n = a.cols();
    if (m == 0 || n == 0)
        return std::unexpected(err::KavrelError(err::ShapeMismatch{{m, n}, {std::max<std::uint64_t>(m, 1), std::max<std::uint64_t>(n, 1)}}));
    bool finite = true;
    if (const auto run = kavrel::application::view::immutable::contiguous_window(a);
        run && kavrel::domain::layout::is_c_contiguous(a.layout)) {
        finite = std::all_of(run->begin(), run->end(), [](double x) { return std::isfinite(x); });
    } else {
        auto it = kavrel::application::iter::element::element_iter::ElementIter<double, 2>::make(a);
        while (const auto x = it.next())
            if (!std::isfinite(*x)) {
                finite = false;
                break;
            }
    }
    if (!finite) return err::storage_error(non_finite_input);
    return {};
}

}  // namespace kavrel_ops::application::linalg::svd
