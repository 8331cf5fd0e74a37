#include "kavrel_python/linalg.hpp"

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <utility>
#include <vector>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/col_piv_qr/decompose.hpp"
#include "kavrel_ops/application/linalg/eigen.hpp"
#include "kavrel_ops/application/linalg/hessenberg.hpp"
#include "kavrel_ops/application/linalg/scaling/gate.hpp"
#include "kavrel_ops/application/linalg/schur.hpp"
#include "kavrel_ops/application/linalg/schur/real_eigenvalues.hpp"

namespace kavrel_python::linalg {

// The bodies below answer NotImplementedError until their operations land.

PyResult<Ref> dot_py(CallContext&, const ArrayView<float, 1>&, const ArrayView<float, 1>&) { return convention::not_built("dot"); }
PyResult<Ref> matmul_py(CallContext&, const ArrayView<float, 2>&, const ArrayView<float, 2>&) { return convention::not_built("matmul"); }
PyResult<Ref> batched_matmul_py(CallContext&, const ArrayView<float, 3>&, const ArrayView<float, 3>&) { return convention::not_built("batched_matmul"); }
PyResult<Ref> det_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("det"); }
PyResult<Ref> inv_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("inv"); }
PyResult<Ref> solve_py(CallContext&, const ArrayView<double, 2>&, const ArrayView<double, 1>&) { return convention::not_built("solve"); }
PyResult<Ref> cholesky_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("cholesky"); }
PyResult<Ref> cholesky_solve_py(CallContext&, const ArrayView<double, 2>&, const ArrayView<double, 1>&) { return convention::not_built("cholesky_solve"); }
PyResult<Ref> cholesky_inv_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("cholesky_inv"); }
PyResult<Ref> qr_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("qr"); }
PyResult<Ref> svd_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("svd"); }
PyResult<Ref> singular_values_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("singular_values"); }
PyResult<Ref> norm_py(CallContext&, const ArrayView<double, 2>&, const std::optional<std::string>&) { return convention::not_built("norm"); }
PyResult<Ref> bunch_kaufman_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("bunch_kaufman"); }
PyResult<Ref> matexp_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("matexp"); }
PyResult<Ref> kron_py(CallContext&, const ArrayView<double, 2>&, const ArrayView<double, 2>&) { return convention::not_built("kron"); }
PyResult<Ref> trace_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("trace"); }
PyResult<Ref> full_piv_lu_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("full_piv_lu"); }
PyResult<Ref> udu_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("udu"); }
PyResult<Ref> bidiagonalize_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("bidiagonalize"); }

// --- Orthogonal factorisations -----------------------------------------------------------

namespace {

namespace col_piv_qr = kavrel_ops::application::linalg::col_piv_qr::decompose;
namespace gate = kavrel_ops::application::linalg::scaling::gate;
using kavrel::domain::error::display;

// A result computed without the interpreter lock, or its error's display text, formatted there too.
template <class T>
using Unlocked = std::expected<T, std::string>;

constexpr const char* r_out_of_range = "R entry exceeds the scalar range";

// The QR window of the gate, the factorisation on the input or on its scaled copy, and R scaled back.
Unlocked<col_piv_qr::ColPivQrDecomposition> col_piv_qr_unlocked(const ArrayView<double, 2>& a) {
    const auto outcome = gate::balanced_by_rows(a);
    if (!outcome) return std::unexpected(display(outcome.error()));
    auto d = col_piv_qr::factor(gate::operand(*outcome, a));
    if (!d) return std::unexpected(display(d.error()));
    if (const std::int32_t k = gate::exponent_of(*outcome); k != 0)
        if (auto restored = gate::restore(d->r, k, r_out_of_range); !restored)
            return std::unexpected(display(restored.error()));
    return std::move(*d);
}

}  // namespace

PyResult<Ref> col_piv_qr_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    Unlocked<col_piv_qr::ColPivQrDecomposition> d = ctx.without_lock([&] { return col_piv_qr_unlocked(a); });
    if (!d) return python::value_error(d.error());
    const std::uint64_t m = d->rows, n = d->cols;
    auto q = kavrel::domain::error::expect(numpy_bridge::Array<double, 2>::from_vec({m, m}, std::move(d->q)),
                                           "Q shape matches storage");
    auto r = kavrel::domain::error::expect(numpy_bridge::Array<double, 2>::from_vec({m, n}, std::move(d->r)),
                                           "R shape matches storage");
    std::array<PyResult<Ref>, 3> items = {numpy_bridge::array_into_numpy2(std::move(q)),
                                          numpy_bridge::array_into_numpy2(std::move(r)),
                                          numpy_bridge::vector_into_numpy(std::move(d->perm))};
    return convention::tuple_result(items);
}

// --- Hessenberg, Schur and eigensolvers --------------------------------------------------

namespace {

namespace hess = kavrel_ops::application::linalg::hessenberg;
namespace schur = kavrel_ops::application::linalg::schur;
namespace eigen = kavrel_ops::application::linalg::eigen;
using fennick::types::complex::Complex;

constexpr const char* h_out_of_range = "Hessenberg entry exceeds the scalar range";

// The reduction itself is not scaled (Schur and the eigenvalues gate before it): only this entry
// runs the QR window of the gate, so entries near the largest float64 cannot turn H into inf/NaN.
// H is scaled back by 2^k, Q is orthogonal and needs nothing.
Unlocked<hess::HessenbergDecomposition> hessenberg_unlocked(const ArrayView<double, 2>& a) {
    if (auto square = hess::validate_square(a.rows(), a.cols()); !square) return std::unexpected(display(square.error()));
    const auto outcome = gate::balanced_by_rows(a);
    if (!outcome) return std::unexpected(display(outcome.error()));
    auto d = hess::hessenberg(gate::operand(*outcome, a));
    if (!d) return std::unexpected(display(d.error()));
    if (auto restored = gate::restore(d->h.storage.data, gate::exponent_of(*outcome), h_out_of_range); !restored)
        return std::unexpected(display(restored.error()));
    return std::move(*d);
}

template <class T>
Unlocked<T> displayed(kavrel::domain::error::Result<T>&& r) {
    if (!r) return std::unexpected(display(r.error()));
    return std::move(*r);
}

PyResult<Ref> pair_result(PyResult<Ref>&& first, PyResult<Ref>&& second) {
    std::array<PyResult<Ref>, 2> items = {std::move(first), std::move(second)};
    return convention::tuple_result(items);
}

}  // namespace

PyResult<Ref> hessenberg_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    Unlocked<hess::HessenbergDecomposition> d = ctx.without_lock([&] { return hessenberg_unlocked(a); });
    if (!d) return python::value_error(d.error());
    return pair_result(numpy_bridge::array_into_numpy2(std::move(d->q)), numpy_bridge::array_into_numpy2(std::move(d->h)));
}

PyResult<Ref> schur_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    Unlocked<schur::RealSchur> d = ctx.without_lock([&] { return displayed(schur::real_schur(a)); });
    if (!d) return python::value_error(d.error());
    return pair_result(numpy_bridge::array_into_numpy2(std::move(d->q)), numpy_bridge::array_into_numpy2(std::move(d->t)));
}

PyResult<Ref> eigenvalues_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    Unlocked<std::vector<Complex>> values =
        ctx.without_lock([&] { return displayed(schur::real_eigenvalues::eigenvalues(a)); });
    if (!values) return python::value_error(values.error());
    return numpy_bridge::vector_into_numpy(std::move(*values));
}

PyResult<Ref> symmetric_eigen_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    Unlocked<eigen::SymmetricEigen> d =
        ctx.without_lock([&] { return displayed(eigen::symmetric_eigen_jacobi_with_tolerance(a)); });
    if (!d) return python::value_error(d.error());
    return pair_result(numpy_bridge::vector_into_numpy(std::move(d->w)), numpy_bridge::array_into_numpy2(std::move(d->v)));
}

}  // namespace kavrel_python::linalg
