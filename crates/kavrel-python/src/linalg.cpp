#include "kavrel_python/linalg.hpp"

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
PyResult<Ref> col_piv_qr_py(CallContext&, const ArrayView<double, 2>&) { return convention::not_built("col_piv_qr"); }
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

}  // namespace kavrel_python::linalg
