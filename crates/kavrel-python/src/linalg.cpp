#include "kavrel_python/linalg.hpp"

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <utility>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/col_piv_qr/decompose.hpp"
#include "kavrel_ops/application/linalg/qr/decompose.hpp"
#include "kavrel_ops/application/linalg/scaling/gate.hpp"

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
PyResult<Ref> svd_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("svd"); }
PyResult<Ref> symmetric_eigen_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("symmetric_eigen"); }
PyResult<Ref> singular_values_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("singular_values"); }
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
PyResult<Ref> bidiagonalize_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("bidiagonalize"); }

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

}  // namespace kavrel_python::linalg
