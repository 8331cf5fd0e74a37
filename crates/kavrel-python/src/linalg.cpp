#include "kavrel_python/linalg.hpp"

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kavrel/application/view/contiguous.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_ops/application/linalg/bidiagonal.hpp"
#include "kavrel_ops/application/linalg/bunch_kaufman.hpp"
#include "kavrel_ops/application/linalg/bunch_kaufman/decompose.hpp"
#include "kavrel_ops/application/linalg/cholesky.hpp"
#include "kavrel_ops/application/linalg/col_piv_qr/decompose.hpp"
#include "kavrel_ops/application/linalg/eigen.hpp"
#include "kavrel_ops/application/linalg/full_piv_lu.hpp"
#include "kavrel_ops/application/linalg/full_piv_lu/decompose.hpp"
#include "kavrel_ops/application/linalg/hessenberg.hpp"
#include "kavrel_ops/application/linalg/lu/solvers.hpp"
#include "kavrel_ops/application/linalg/matrix_function/exponential.hpp"
#include "kavrel_ops/application/linalg/norms.hpp"
#include "kavrel_ops/application/linalg/products/kronecker.hpp"
#include "kavrel_ops/application/linalg/qr/decompose.hpp"
#include "kavrel_ops/application/linalg/schur.hpp"
#include "kavrel_ops/application/linalg/schur/real_eigenvalues.hpp"
#include "kavrel_ops/application/linalg/svd.hpp"
#include "kavrel_ops/application/linalg/trace.hpp"
#include "kavrel_ops/application/linalg/udu/decompose.hpp"

namespace kavrel_python::linalg {

namespace {

using numpy_bridge::Array;
namespace ch = kavrel_ops::application::linalg::cholesky;
namespace fp = kavrel_ops::application::linalg::full_piv_lu;
namespace lu = kavrel_ops::application::linalg::lu;
namespace qr = kavrel_ops::application::linalg::qr::decompose;
namespace cpq = kavrel_ops::application::linalg::col_piv_qr::decompose;

// --- Shared by the linear-algebra bodies ------------------------------------------------

using convention::compute_unlocked;
using convention::Unlocked;

// A solution vector handed to NumPy without a copy.
PyResult<Ref> vector_result(Array<double, 1>&& x) {
    return numpy_bridge::vector_into_numpy(std::move(x).into_vec());
}

// A row-major result of rows × cols over its own buffer.
Array<double, 2> matrix_result(std::uint64_t rows, std::uint64_t cols, std::vector<double>&& data, const char* what) {
    return kavrel::domain::error::expect(Array<double, 2>::from_vec({rows, cols}, std::move(data)), what);
}

}  // namespace

PyResult<Ref> det_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto d = compute_unlocked(ctx, [&] { return lu::solvers::determinant(a); });
    if (!d) return python::value_error(std::move(d.error()));
    return convention::float_result(*d);
}

PyResult<Ref> inv_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto r = compute_unlocked(ctx, [&] { return lu::solvers::inv(a); });
    if (!r) return python::value_error(std::move(r.error()));
    return numpy_bridge::array_into_numpy2(std::move(*r));
}

PyResult<Ref> solve_py(CallContext& ctx, const ArrayView<double, 2>& a, const ArrayView<double, 1>& b) {
    auto x = compute_unlocked(ctx, [&] { return lu::solvers::lu_solve(a, b); });
    if (!x) return python::value_error(std::move(x.error()));
    return vector_result(std::move(*x));
}

PyResult<Ref> cholesky_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto f = compute_unlocked(ctx, [&] { return ch::cholesky_decompose(a); });
    if (!f) return python::value_error(std::move(f.error()));
    return numpy_bridge::array_into_numpy2(std::move(f->l));
}

PyResult<Ref> cholesky_solve_py(CallContext& ctx, const ArrayView<double, 2>& a,
                                const ArrayView<double, 1>& b) {
    auto x = compute_unlocked(ctx, [&] { return ch::cholesky_solution(a, b); });
    if (!x) return python::value_error(std::move(x.error()));
    return vector_result(std::move(*x));
}

PyResult<Ref> cholesky_inv_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto r = compute_unlocked(ctx, [&] { return ch::cholesky_inverse(a); });
    if (!r) return python::value_error(std::move(r.error()));
    return numpy_bridge::array_into_numpy2(std::move(*r));
}

PyResult<Ref> full_piv_lu_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto f = compute_unlocked(ctx, [&] { return fp::decompose::full_piv_lu_decompose(a); });
    if (!f) return python::value_error(std::move(f.error()));
    // L and U are built with the lock held.
    PyResult<Ref> items[] = {numpy_bridge::array_into_numpy2(fp::lower_factor(*f)),
                             numpy_bridge::array_into_numpy2(fp::upper_factor(*f)),
                             numpy_bridge::vector_into_numpy(std::move(f->row_perm)),
                             numpy_bridge::vector_into_numpy(std::move(f->col_perm))};
    return convention::tuple_result(items);
}

// The reduction runs without the lock; Q is formed and R extracted with it held.
PyResult<Ref> qr_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto f = compute_unlocked(ctx, [&] { return qr::factor(a); });
    if (!f) return python::value_error(std::move(f.error()));
    const std::uint64_t m = f->rows, n = f->cols;
    auto q = matrix_result(m, m, qr::form_q(*f), "Q shape matches storage");
    auto r = matrix_result(m, n, qr::extract_r(*f), "R shape matches storage");
    PyResult<Ref> items[] = {numpy_bridge::array_into_numpy2(std::move(q)),
                             numpy_bridge::array_into_numpy2(std::move(r))};
    return convention::tuple_result(items);
}

PyResult<Ref> col_piv_qr_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto d = compute_unlocked(ctx, [&] { return cpq::factor_balanced(a); });
    if (!d) return python::value_error(std::move(d.error()));
    const std::uint64_t m = d->rows, n = d->cols;
    auto q = matrix_result(m, m, std::move(d->q), "Q shape matches storage");
    auto r = matrix_result(m, n, std::move(d->r), "R shape matches storage");
    PyResult<Ref> items[] = {numpy_bridge::array_into_numpy2(std::move(q)),
                             numpy_bridge::array_into_numpy2(std::move(r)),
                             numpy_bridge::vector_into_numpy(std::move(d->perm))};
    return convention::tuple_result(items);
}

// --- Symmetric factorisations, matrix exponential, norms, Kronecker product and trace ----------

namespace {

namespace bk = kavrel_ops::application::linalg::bunch_kaufman;
namespace udu = kavrel_ops::application::linalg::udu::decompose;
namespace norms = kavrel_ops::application::linalg::norms;
namespace kronecker = kavrel_ops::application::linalg::products::kronecker;
namespace exponential = kavrel_ops::application::linalg::matrix_function::exponential;
namespace trace = kavrel_ops::application::linalg::trace;

// The norm named by `ord` (absent: "fro"); a name it does not know is a plain message, not a
// library error.
Unlocked<double> norm_unlocked(const ArrayView<double, 2>& a, const std::optional<std::string>& ord) {
    const std::string_view name = ord ? std::string_view(*ord) : std::string_view("fro");
    const std::optional<norms::NormOrder> order = norms::norm_order(name);
    if (!order) return std::unexpected("Unsupported norm order: " + std::string(name));
    auto r = norms::norm_of(a, *order);
    if (!r) return std::unexpected(kavrel::domain::error::display(r.error()));
    return *r;
}

}  // namespace

PyResult<Ref> bunch_kaufman_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto f = compute_unlocked(ctx, [&] { return bk::decompose::bunch_kaufman_decompose(a); });
    if (!f) return python::value_error(std::move(f.error()));
    PyResult<Ref> items[] = {numpy_bridge::array_into_numpy2(bk::l_factor(*f)),
                             numpy_bridge::array_into_numpy2(bk::d_factor(*f)),
                             numpy_bridge::vector_into_numpy(bk::permutation(*f))};
    return convention::tuple_result(items);
}

PyResult<Ref> udu_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto f = compute_unlocked(ctx, [&] { return udu::udu_decompose(a); });
    if (!f) return python::value_error(std::move(f.error()));
    auto u = matrix_result(f->n, f->n, std::move(f->u), "U shape matches storage");
    PyResult<Ref> items[] = {numpy_bridge::array_into_numpy2(std::move(u)),
                             numpy_bridge::vector_into_numpy(std::move(f->d))};
    return convention::tuple_result(items);
}

PyResult<Ref> norm_py(CallContext& ctx, const ArrayView<double, 2>& a, const std::optional<std::string>& ord) {
    auto n = compute_unlocked(ctx, [&] { return norm_unlocked(a, ord); });
    if (!n) return python::value_error(std::move(n.error()));
    return convention::float_result(*n);
}

PyResult<Ref> matexp_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto e = compute_unlocked(ctx, [&] { return exponential::matrix_exponential(a); });
    if (!e) return python::value_error(std::move(e.error()));
    return numpy_bridge::array_into_numpy2(std::move(*e));
}

PyResult<Ref> kron_py(CallContext& ctx, const ArrayView<double, 2>& a, const ArrayView<double, 2>& b) {
    auto r = compute_unlocked(ctx, [&] { return kronecker::kronecker_product(a, b); });
    if (!r) return python::value_error(std::move(r.error()));
    return numpy_bridge::array_into_numpy2(std::move(*r));
}

PyResult<Ref> trace_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto t = compute_unlocked(ctx, [&] { return trace::trace_of(a); });
    if (!t) return python::value_error(std::move(t.error()));
    return convention::float_result(*t);
}

// --- Bidiagonalisation and singular value decomposition ---------------------------------------

namespace {

namespace bidiagonal = kavrel_ops::application::linalg::bidiagonal;
namespace svd = kavrel_ops::application::linalg::svd;

}  // namespace

PyResult<Ref> bidiagonalize_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto d = compute_unlocked(ctx, [&] { return bidiagonal::bidiagonalize_balanced(a); });
    if (!d) return python::value_error(std::move(d.error()));
    PyResult<Ref> items[] = {numpy_bridge::array_into_numpy2(std::move(d->u)),
                             numpy_bridge::array_into_numpy2(std::move(d->b)),
                             numpy_bridge::array_into_numpy2(std::move(d->v))};
    return convention::tuple_result(items);
}

PyResult<Ref> svd_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto r = compute_unlocked(ctx, [&] { return svd::svd_balanced(a); });
    if (!r) return python::value_error(std::move(r.error()));
    // Vt is V (n×k) read through its transposed layout.
    ArrayView<double, 2> v = ArrayView<double, 2>::of(r->v);
    auto transposed = v.layout.transpose({1, 0});
    if (!transposed) return python::value_error(transposed.error());
    v.layout = *transposed;
    auto vt = kavrel::application::view::contiguous::to_contiguous(v);
    PyResult<Ref> items[] = {numpy_bridge::array_into_numpy2(std::move(r->u)),
                             numpy_bridge::vector_into_numpy(std::move(r->s)),
                             numpy_bridge::array_into_numpy2(std::move(vt))};
    return convention::tuple_result(items);
}

PyResult<Ref> singular_values_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto values = compute_unlocked(ctx, [&] { return svd::singular_values_balanced(a); });
    if (!values) return python::value_error(std::move(values.error()));
    return numpy_bridge::vector_into_numpy(std::move(*values));
}

// --- Hessenberg, Schur and eigensolvers --------------------------------------------------

namespace {

namespace hess = kavrel_ops::application::linalg::hessenberg;
namespace schur = kavrel_ops::application::linalg::schur;
namespace eigen = kavrel_ops::application::linalg::eigen;

}  // namespace

PyResult<Ref> hessenberg_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto d = compute_unlocked(ctx, [&] { return hess::hessenberg_gated(a); });
    if (!d) return python::value_error(std::move(d.error()));
    PyResult<Ref> items[] = {numpy_bridge::array_into_numpy2(std::move(d->q)),
                             numpy_bridge::array_into_numpy2(std::move(d->h))};
    return convention::tuple_result(items);
}

PyResult<Ref> schur_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto d = compute_unlocked(ctx, [&] { return schur::real_schur(a); });
    if (!d) return python::value_error(std::move(d.error()));
    PyResult<Ref> items[] = {numpy_bridge::array_into_numpy2(std::move(d->q)),
                             numpy_bridge::array_into_numpy2(std::move(d->t))};
    return convention::tuple_result(items);
}

PyResult<Ref> eigenvalues_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto values = compute_unlocked(ctx, [&] { return schur::real_eigenvalues::eigenvalues(a); });
    if (!values) return python::value_error(std::move(values.error()));
    return numpy_bridge::vector_into_numpy(std::move(*values));
}

PyResult<Ref> symmetric_eigen_py(CallContext& ctx, const ArrayView<double, 2>& a) {
    auto d = compute_unlocked(ctx, [&] { return eigen::symmetric_eigen_jacobi_with_tolerance(a); });
    if (!d) return python::value_error(std::move(d.error()));
    PyResult<Ref> items[] = {numpy_bridge::vector_into_numpy(std::move(d->w)),
                             numpy_bridge::array_into_numpy2(std::move(d->v))};
    return convention::tuple_result(items);
}

}  // namespace kavrel_python::linalg
