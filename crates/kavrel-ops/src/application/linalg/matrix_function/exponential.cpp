#include "kavrel_ops/application/linalg/matrix_function/exponential.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "kavrel/application/iter/element/element_iter.hpp"
#include "kavrel/domain/layout/layout.hpp"

namespace kavrel_ops::application::linalg::matrix_function::exponential {

namespace {

using kavrel::domain::error::KavrelError;
using kavrel::domain::error::ShapeMismatch;

}  // namespace

namespace detail {

Result<std::span<const double>> finite_entries(const ArrayView<double, 2>& a, std::vector<double>& copy) {
    const std::uint64_t rows = a.rows(), cols = a.cols();
    if (rows != cols) return std::unexpected(KavrelError(ShapeMismatch{{rows, cols}, {rows, rows}}));
    std::span<const double> m;
    std::optional<std::span<const double>> run;
    if (kavrel::domain::layout::is_c_contiguous(a.layout))
        run = kavrel::application::view::immutable::contiguous_window(a);
    if (run) {
        m = *run;
    } else {
        copy = kavrel::application::iter::element::element_iter::ElementIter<double, 2>::make(a).collect();
        m = copy;
    }
    if (!std::all_of(m.begin(), m.end(), [](double x) { return std::isfinite(x); }))
        return kavrel::domain::error::storage_error("matrix exponential requires finite entries");
    return m;
}

double infinity_norm(std::span<const double> m, std::uint64_t n) {
    double norm = 0.0;
    for (std::uint64_t i = 0; i < n; ++i) {
        double row = 0.0;
        for (std::uint64_t j = 0; j < n; ++j) row = row + std::fabs(m[i * n + j]);
        if (row > norm) norm = row;
    }
    return norm;
}

Result<int> scaling_exponent(double norm) {
    double t = norm;
    int s = 0;
    while (t > 0.5) {
        if (s == max_halvings) return kavrel::domain::error::storage_error("matrix exponential scaling exponent overflow");
        t = t * 0.5;
        ++s;
    }
    return s;
}

std::array<double, 7> pade_coefficients() {
    std::array<double, 7> c{};
    c[0] = 1.0;
    for (int k = 1; k <= 6; ++k) {
        const auto kf = static_cast<double>(k);
        c[k] = (c[k - 1] * ((6.0 - kf) + 1.0)) / (kf * ((12.0 - kf) + 1.0));
    }
    return c;
}

Array<double, 2> identity(std::uint64_t n) {
    std::vector<double> m(n * n, 0.0);
    for (std::uint64_t i = 0; i < n; ++i) m[i * n + i] = 1.0;
    return kavrel::domain::error::expect(Array<double, 2>::from_vec({n, n}, std::move(m)),
                                         "identity square storage matches shape");
}

}  // namespace detail

}  // namespace kavrel_ops::application::linalg::matrix_function::exponential
