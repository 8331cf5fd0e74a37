#include "kavrel_python/module.hpp"

#include <atomic>
#include <cstdio>
#include <cstdint>
#include <new>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_python/convention.hpp"
#include "kavrel_python/elementwise.hpp"
#include "kavrel_python/linalg.hpp"
#include "kavrel_python/python.hpp"

namespace kavrel_python::module {

namespace {

using convention::ArrayArg;
using convention::DynF32Arg;
using convention::entry;
using convention::Signature;
using convention::OptionalTextArg;
using python::Ref;
namespace ew = elementwise;
namespace la = linalg;

using F32x1 = ArrayArg<float, 1>;
using F32x2 = ArrayArg<float, 2>;
using F32x3 = ArrayArg<float, 3>;
using F64x1 = ArrayArg<double, 1>;
using F64x2 = ArrayArg<double, 2>;

constexpr Signature unary(const char* name) { return {name, {"a", nullptr}, 1, 1}; }
constexpr Signature binary(const char* name) { return {name, {"a", "b"}, 2, 2}; }

constexpr Signature add_fn = binary("add");
constexpr Signature sub_fn = binary("sub");
constexpr Signature mul_fn = binary("mul");
constexpr Signature div_fn = binary("div");
constexpr Signature dot_fn = binary("dot");
constexpr Signature sum_fn = unary("sum");
constexpr Signature matmul_fn = binary("matmul");
constexpr Signature batched_matmul_fn = binary("batched_matmul");
constexpr Signature sum_dyn_fn = unary("sum_dyn");
constexpr Signature det_fn = unary("det");
constexpr Signature inv_fn = unary("inv");
constexpr Signature solve_fn = binary("solve");
constexpr Signature cholesky_fn = unary("cholesky");
constexpr Signature cholesky_solve_fn = binary("cholesky_solve");
constexpr Signature cholesky_inv_fn = unary("cholesky_inv");
constexpr Signature qr_fn = unary("qr");
constexpr Signature col_piv_qr_fn = unary("col_piv_qr");
constexpr Signature svd_fn = unary("svd");
constexpr Signature symmetric_eigen_fn = unary("symmetric_eigen");
constexpr Signature singular_values_fn = unary("singular_values");
constexpr Signature norm_fn = {"norm", {"a", "ord"}, 2, 1};
constexpr Signature schur_fn = unary("schur");
constexpr Signature bunch_kaufman_fn = unary("bunch_kaufman");
constexpr Signature matexp_fn = unary("matexp");
constexpr Signature kron_fn = binary("kron");
constexpr Signature trace_fn = unary("trace");
constexpr Signature hessenberg_fn = unary("hessenberg");
constexpr Signature eigenvalues_fn = unary("eigenvalues");
constexpr Signature full_piv_lu_fn = unary("full_piv_lu");
constexpr Signature udu_fn = unary("udu");
constexpr Signature bidiagonalize_fn = unary("bidiagonalize");

// METH_FASTCALL | METH_KEYWORDS (0x82): CPython passes an argument vector and keyword names.
template <const Signature& Sig, auto Body, class... Args>
PyMethodDef method(const char* doc) {
    return {Sig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<Sig, Body, Args...>)),
            METH_FASTCALL | METH_KEYWORDS, doc};
}

// Each docstring starts with the text signature, a line "--" and an empty line.
PyMethodDef functions[] = {
    method<add_fn, &ew::add_py, F32x2, F32x2>("add(a, b)\n--\n\n"),
    method<sub_fn, &ew::sub_py, F32x2, F32x2>("sub(a, b)\n--\n\n"),
    method<mul_fn, &ew::mul_py, F32x2, F32x2>("mul(a, b)\n--\n\n"),
    method<div_fn, &ew::div_py, F32x2, F32x2>("div(a, b)\n--\n\n"),
    method<dot_fn, &ew::dot_py, F32x1, F32x1>("dot(a, b)\n--\n\n"),
    method<sum_fn, &ew::sum_py, F32x2>("sum(a)\n--\n\n"),
    method<matmul_fn, &ew::matmul_py, F32x2, F32x2>("matmul(a, b)\n--\n\n"),
    method<batched_matmul_fn, &ew::batched_matmul_py, F32x3, F32x3>(
        "batched_matmul(a, b)\n--\n\n"
        "Batched matrix multiply over 3D arrays `[batch, m, k] @ [batch, k, n] -> [batch, m, n]`.\n"
        "A batch dimension of 1 on either operand broadcasts. Mirrors `numpy.matmul` on 3D inputs."),
    method<sum_dyn_fn, &ew::sum_dyn_py, DynF32Arg>("sum_dyn(a)\n--\n\n"),
    method<det_fn, &la::det_py, F64x2>("det(a)\n--\n\n"),
    method<inv_fn, &la::inv_py, F64x2>("inv(a)\n--\n\n"),
    method<solve_fn, &la::solve_py, F64x2, F64x1>("solve(a, b)\n--\n\n"),
    method<cholesky_fn, &la::cholesky_py, F64x2>("cholesky(a)\n--\n\n"),
    method<cholesky_solve_fn, &la::cholesky_solve_py, F64x2, F64x1>(
        "cholesky_solve(a, b)\n--\n\n"
        "Solve `A x = b` for symmetric positive-definite `A` via its Cholesky factor."),
    method<cholesky_inv_fn, &la::cholesky_inv_py, F64x2>(
        "cholesky_inv(a)\n--\n\n"
        "Inverse of a symmetric positive-definite matrix via its Cholesky factor."),
    method<qr_fn, &la::qr_py, F64x2>("qr(a)\n--\n\n"),
    method<col_piv_qr_fn, &la::col_piv_qr_py, F64x2>("col_piv_qr(a)\n--\n\n"),
    method<svd_fn, &la::svd_py, F64x2>("svd(a)\n--\n\n"),
    method<symmetric_eigen_fn, &la::symmetric_eigen_py, F64x2>("symmetric_eigen(a)\n--\n\n"),
    method<singular_values_fn, &la::singular_values_py, F64x2>("singular_values(a)\n--\n\n"),
    method<norm_fn, &la::norm_py, F64x2, OptionalTextArg>("norm(a, ord=None)\n--\n\n"),
    method<schur_fn, &la::schur_py, F64x2>("schur(a)\n--\n\n"),
    method<bunch_kaufman_fn, &la::bunch_kaufman_py, F64x2>("bunch_kaufman(a)\n--\n\n"),
    method<matexp_fn, &la::matexp_py, F64x2>("matexp(a)\n--\n\n"),
    method<kron_fn, &la::kron_py, F64x2, F64x2>("kron(a, b)\n--\n\n"),
    method<trace_fn, &la::trace_py, F64x2>("trace(a)\n--\n\n"),
    method<hessenberg_fn, &la::hessenberg_py, F64x2>(
        "hessenberg(a)\n--\n\n"
        "Hessenberg reduction `A = Q H Q\u1D40`. Returns `(Q, H)`."),
    method<eigenvalues_fn, &la::eigenvalues_py, F64x2>(
        "eigenvalues(a)\n--\n\n"
        "Eigenvalues of a general real matrix, returned as a complex vector."),
    method<full_piv_lu_fn, &la::full_piv_lu_py, F64x2>(
        "full_piv_lu(a)\n--\n\n"
        "Full-pivoting LU: returns `(L, U, row_perm, col_perm)`."),
    method<udu_fn, &la::udu_py, F64x2>(
        "udu(a)\n--\n\n"
        "Pivot-free `A = U D U\u1D40`. Returns `(U, d)` with `d` the diagonal of `D`."),
    method<bidiagonalize_fn, &la::bidiagonalize_py, F64x2>(
        "bidiagonalize(a)\n--\n\n"
        "Bidiagonalization `A = U B V\u1D40`. Returns `(U, B, V)`."),
};

static_assert(std::size(functions) == 31);

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "kavrel_python",  // m_name
    "",               // m_doc
    0,                // m_size: no per-module state
    nullptr,          // m_methods: added by the initializer
    nullptr,          // m_slots
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that imported the module first; -1 until then.
std::atomic<std::int64_t> first_interpreter{-1};
// The module object, created once per process. Read and set with the interpreter lock held.
PyObject* created = nullptr;

constexpr int module_api_version = 1013;

// Adds every function as an attribute and its name to __all__. False with an exception set.
bool register_functions(PyObject* module) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    Ref all;
    for (PyMethodDef& def : functions) {
        Ref function = Ref::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
        if (!function) return false;
        Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) return false;
        if (!all) {
            all = Ref::steal(PyList_New(0));
            if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
        }
        if (PyList_Append(all.get(), name.get()) < 0) {
            PyErr_Clear();
            kavrel::domain::error::fail_invariant("could not append __name__ to __all__");
        }
        if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return false;
    }
    return true;
}

PyObject* init() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id < 0) return nullptr;
    std::int64_t expected = -1;
    if (!first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError, "kavrel_python does not support subinterpreters");
        return nullptr;
    }
    if (created) return Py_NewRef(created);
    Ref module = Ref::steal(PyModule_Create2(&definition, module_api_version));
    if (!module || !register_functions(module.get())) return nullptr;
    created = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

std::span<PyMethodDef> function_table() { return functions; }

}  // namespace kavrel_python::module

PyMODINIT_FUNC PyInit_kavrel_python() noexcept { return kavrel_python::convention::run_init(&kavrel_python::module::init); }
