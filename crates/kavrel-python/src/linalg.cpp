#include "kavrel_python/linalg.hpp"

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <utility>

#include "kavrel/domain/error/error.hpp"
#include "kavrel/application/view/contiguous.hpp"
#include "kavrel_ops/application/linalg/bidiagonal.hpp"
#include "kavrel_ops/application/linalg/col_piv_qr/decompose.hpp"
#include "kavrel_ops/application/linalg/qr/decompose.hpp"
#include "kavrel_ops/application/linalg/scaling/gate.hpp"
#include "kavrel_ops/application/linalg/svd.hpp"
#include "kavrel_ops/application/linalg/svd/bidiagonal_qr.hpp"

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
PyResult<Ref> symmetric_eigen_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("symmetric_eigen"); }
PyResult<Ref> norm_py(CallContext&, const ArrayView<double, 2>&, const std::optional<std::string>&) { return convention::not_built("norm"); }
PyResult<Ref> schur_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("schur"); }
PyResult<Ref> bunch_kaufman_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("bunch_kaufman"); }
PyResult<Ref> matexp_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("matexp"); }
PyResult<Ref> kron_py(CallContext&, const ArrayView<double, 2>&, const ArrayView<double, 2>&) { return convention::not_built("kron"); }
PyResult<Ref> trace_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("trace"); }
PyResult<Ref> hessenberg_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("hessenberg"); }
PyResult<Ref> eigenvalues_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("eigenvalues"); }
PyResult<Ref> full_piv_lu_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("full_piv_lu"); }
PyResult<Ref> udu_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("udu"); }

// --- Orthogonal factorisations -----------------------------------------------------------

namespace {

namespace col_piv_qr = kavrel_ops::application::linalg::col_piv_qr::decompose;
namespace qr = kavrel_ops::application::linalg::qr::decompose;
namespace gate = kavrel_ops::application::linalg::scaling::gate;
using kavrel::domain::error::display;

// A result computed without the interpreter lock, or its error's display text, formatted there too.
template <class T>
using Unlocked = std::expected<T, std::string>;

// The QR window of the gate, the factorisation on the input or on its scaled copy, and R scaled back.
Unlocked<col_piv_qr::ColPivQrDecomposition> col_piv_qr_unlocked(const ArrayView<double, 2>& a) {
    const auto outcome = gate::balanced_by_rows(a);
    if (!outcome) return std::unexpected(display(outcome.error()));
    auto d = col_piv_qr::factor(gate::operand(*outcome, a));
    if (!d) return std::unexpected(display(d.error()));
    if (const std::int32_t k = gate::exponent_of(*outcome); k != 0)
        if (auto restored = gate::restore(d->r, k, gate::r_entry_out_of_range); !restored)
            return std::unexpected(display(restored.error()));
    return std::move(*d);
}

}  // namespace

// The reduction runs without the lock; Q is formed and R extracted with it held.
PyResult<Ref> qr_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    Unlocked<qr::QrFactors> factors = ctx.without_lock([&]() -> Unlocked<qr::QrFactors> {
        auto f = qr::factor(a);
        if (!f) return std::unexpected(display(f.error()));
        return std::move(*f);
    });
    if (!factors) return python::value_error(factors.error());
    const std::uint64_t m = factors->rows, n = factors->cols;
    auto q = kavrel::domain::error::expect(numpy_bridge::Array<double, 2>::from_vec({m, m}, qr::form_q(*factors)),
                                           "Q shape matches storage");
    auto r = kavrel::domain::error::expect(numpy_bridge::Array<double, 2>::from_vec({m, n}, qr::extract_r(*factors)),
                                           "R shape matches storage");
    std::array<PyResult<Ref>, 2> items = {numpy_bridge::array_into_numpy2(std::move(q)),
                                          numpy_bridge::array_into_numpy2(std::move(r))};
    return convention::tuple_result(items);
}

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

// --- Bidiagonalisation and singular value decomposition ---------------------------------------

namespace {

namespace bidiagonal = kavrel_ops::application::linalg::bidiagonal;
namespace svd = kavrel_ops::application::linalg::svd;
namespace svd_qr = kavrel_ops::application::linalg::svd::bidiagonal_qr;

// The reduction meets entries near the ends of the exponent range only through the QR window of
// the gate, which the column-pivoted QR uses too; B is scaled back with a range check, U and V need
// no rescaling.
Unlocked<bidiagonal::BidiagonalDecomposition> bidiagonalize_unlocked(const ArrayView<double, 2>& a) {
    const auto outcome = gate::balanced_by_rows(a);
    if (!outcome) return std::unexpected(display(outcome.error()));
    auto d = bidiagonal::bidiagonalize(gate::operand(*outcome, a));
    if (!d) return std::unexpected(display(d.error()));
    if (const std::int32_t k = gate::exponent_of(*outcome); k != 0)
        if (auto restored = gate::restore(d->b.storage.data, k, bidiagonal::b_entry_out_of_range); !restored)
            return std::unexpected(display(restored.error()));
    return std::move(*d);
}

// The input check and the SVD window of the gate, in front of both SVD functions.
Unlocked<gate::GateOutcome> svd_gate(const ArrayView<double, 2>& a) {
    if (auto valid = svd::validate_input(a); !valid) return std::unexpected(display(valid.error()));
    auto outcome = gate::balanced(a, svd_qr::svd_bound);
    if (!outcome) return std::unexpected(display(outcome.error()));
    return std::move(*outcome);
}

// The singular values of a scaled matrix multiplied back by 2^k; one that leaves the float64
// range is an error rather than an infinity.
Unlocked<void> restore_values(std::vector<double>& values, const gate::GateOutcome& outcome) {
    if (const std::int32_t k = gate::exponent_of(outcome); k != 0)
        if (auto restored = gate::restore(values, k, svd::singular_value_out_of_range); !restored)
            return std::unexpected(display(restored.error()));
    return {};
}

Unlocked<svd_qr::SvdResult> svd_unlocked(const ArrayView<double, 2>& a) {
    const auto outcome = svd_gate(a);
    if (!outcome) return std::unexpected(outcome.error());
    auto r = svd_qr::svd_of_balanced(gate::operand(*outcome, a));
    if (!r) return std::unexpected(display(r.error()));
    if (auto restored = restore_values(r->s, *outcome); !restored) return std::unexpected(restored.error());
    return std::move(*r);
}

Unlocked<std::vector<double>> singular_values_unlocked(const ArrayView<double, 2>& a) {
    const auto outcome = svd_gate(a);
    if (!outcome) return std::unexpected(outcome.error());
    auto values = svd_qr::singular_values_of_balanced(gate::operand(*outcome, a));
    if (!values) return std::unexpected(display(values.error()));
    if (auto restored = restore_values(*values, *outcome); !restored) return std::unexpected(restored.error());
    return std::move(*values);
}

}  // namespace

PyResult<Ref> bidiagonalize_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    Unlocked<bidiagonal::BidiagonalDecomposition> d = ctx.without_lock([&] { return bidiagonalize_unlocked(a); });
    if (!d) return python::value_error(d.error());
    std::array<PyResult<Ref>, 3> items = {numpy_bridge::array_into_numpy2(std::move(d->u)),
                                          numpy_bridge::array_into_numpy2(std::move(d->b)),
                                          numpy_bridge::array_into_numpy2(std::move(d->v))};
    return convention::tuple_result(items);
}

PyResult<Ref> svd_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    Unlocked<svd_qr::SvdResult> r = ctx.without_lock([&] { return svd_unlocked(a); });
    if (!r) return python::value_error(r.error());
    // Vt is V (n×k) read through its transposed layout.
    ArrayView<double, 2> v = ArrayView<double, 2>::of(r->v);
    auto transposed = v.layout.transpose({1, 0});
    if (!transposed) return python::value_error(transposed.error());
    v.layout = *transposed;
    auto vt = kavrel::application::view::contiguous::to_contiguous(v);
    std::array<PyResult<Ref>, 3> items = {numpy_bridge::array_into_numpy2(std::move(r->u)),
                                          numpy_bridge::vector_into_numpy(std::move(r->s)),
                                          numpy_bridge::array_into_numpy2(std::move(vt))};
    return convention::tuple_result(items);
}

PyResult<Ref> singular_values_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    Unlocked<std::vector<double>> values = ctx.without_lock([&] { return singular_values_unlocked(a); });
    if (!values) return python::value_error(values.error());
    return numpy_bridge::vector_into_numpy(std::move(*values));
}

}  // namespace kavrel_python::linalg
