// Bodies of the linear-solver, factorisation and eigensolver functions.
// Each receives its arguments already bound, type-checked, borrowed and turned into views
// by the calling convention, releases the interpreter lock once around its computation,
// raises every KavrelError as ValueError with its display text, and returns new NumPy
// arrays through the bridge (array_into_numpy2, vector_into_numpy) or Python floats.
#pragma once

#include <optional>
#include <string>

#include "kavrel_python/convention.hpp"
#include "kavrel_python/numpy_bridge.hpp"

namespace kavrel_python::linalg {

using convention::CallContext;
using numpy_bridge::ArrayView;
using python::PyResult;
using python::Ref;

PyResult<Ref> det_py(CallContext& ctx, const ArrayView<double, 2>& a);
PyResult<Ref> inv_py(CallContext& ctx, const ArrayView<double, 2>& a);
PyResult<Ref> solve_py(CallContext& ctx, const ArrayView<double, 2>& a, const ArrayView<double, 1>& b);
PyResult<Ref> cholesky_py(CallContext& ctx, const ArrayView<double, 2>& a);
PyResult<Ref> cholesky_solve_py(CallContext& ctx, const ArrayView<double, 2>& a, const ArrayView<double, 1>& b);
PyResult<Ref> cholesky_inv_py(CallContext& ctx, const ArrayView<double, 2>& a);
PyResult<Ref> qr_py(CallContext& ctx, const ArrayView<double, 2>& a);
PyResult<Ref> col_piv_qr_py(CallContext& ctx, const ArrayView<double, 2>& a);
PyResult<Ref> svd_py(CallContext& ctx, const ArrayView<double, 2>& a);
PyResult<Ref> symmetric_eigen_py(CallContext& ctx, const ArrayView<double, 2>& a);
PyResult<Ref> singular_values_py(CallContext& ctx, const ArrayView<double, 2>& a);
PyResult<Ref> norm_py(CallContext& ctx, const ArrayView<double, 2>& a, const std::optional<std::string>& ord);
PyResult<Ref> schur_py(CallContext& ctx, const ArrayView<double, 2>& a);
PyResult<Ref> bunch_kaufman_py(CallContext& ctx, const ArrayView<double, 2>& a);
PyResult<Ref> matexp_py(CallContext& ctx, const ArrayView<double, 2>& a);
PyResult<Ref> kron_py(CallContext& ctx, const ArrayView<double, 2>& a, const ArrayView<double, 2>& b);
PyResult<Ref> trace_py(CallContext& ctx, const ArrayView<double, 2>& a);
PyResult<Ref> hessenberg_py(CallContext& ctx, const ArrayView<double, 2>& a);
PyResult<Ref> eigenvalues_py(CallContext& ctx, const ArrayView<double, 2>& a);
PyResult<Ref> full_piv_lu_py(CallContext& ctx, const ArrayView<double, 2>& a);
PyResult<Ref> udu_py(CallContext& ctx, const ArrayView<double, 2>& a);
PyResult<Ref> bidiagonalize_py(CallContext& ctx, const ArrayView<double, 2>& a);

}  // namespace kavrel_python::linalg
