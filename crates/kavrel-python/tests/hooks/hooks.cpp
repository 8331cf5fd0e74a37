// kavrel_python_hooks: a test-only extension built over the same core as kavrel_python.
// Its functions use the shipped calling convention and bridge to reach what no public
// function can: an internal error and a failed allocation inside the computation, a
// writable borrow held elsewhere, results in other layouts, and the bridge's views.
#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "fennick/types/complex.hpp"
#include "kavrel/application/view/contiguous.hpp"
#include "kavrel/domain/error/error.hpp"
#include "kavrel_python/borrow.hpp"
#include "kavrel_python/convention.hpp"
#include "kavrel_python/numpy_bridge.hpp"

namespace hooks {

using kavrel_python::convention::ArrayArg;
using kavrel_python::convention::CallContext;
using kavrel_python::convention::DynF32Arg;
using kavrel_python::convention::entry;
using kavrel_python::convention::Signature;
using kavrel_python::numpy_bridge::Array;
using kavrel_python::numpy_bridge::ArrayView;
using kavrel_python::python::PyError;
using kavrel_python::python::PyResult;
using kavrel_python::python::Ref;
namespace bridge = kavrel_python::numpy_bridge;
namespace error = kavrel::domain::error;

// A non-negative Python int.
struct CountArg {
    using Value = std::uint64_t;
    static std::optional<PyError> check_type(CallContext&, const char* name, PyObject* object) {
        if (PyLong_Check(object)) return std::nullopt;
        return PyError{PyExc_TypeError, std::string("argument '") + name + "' must be an int", {}};
    }
    static std::optional<PyError> check_layout(const char*, PyObject*) { return std::nullopt; }
    static PyResult<Value> value(PyObject* object) {
        const unsigned long long v = PyLong_AsUnsignedLongLong(object);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred())
            return std::unexpected(kavrel_python::python::fetch_pending());
        return static_cast<std::uint64_t>(v);
    }
};

// Any NumPy array, neither borrowed nor viewed.
struct AnyArrayArg {
    using Value = PyObject*;
    static std::optional<PyError> check_type(CallContext&, const char* name, PyObject* object) {
        if (bridge::is_array(object, bridge::Element::f32, -1) || bridge::is_array(object, bridge::Element::f64, -1))
            return std::nullopt;
        return PyError{PyExc_TypeError, std::string("argument '") + name + "' must be a float array", {}};
    }
    static std::optional<PyError> check_layout(const char*, PyObject*) { return std::nullopt; }
    static PyResult<Value> value(PyObject* object) { return object; }
};

PyObject* address(const void* p) { return PyLong_FromVoidPtr(const_cast<void*>(p)); }

PyResult<Ref> pair(PyResult<Ref> first, PyObject* second) {
    PyResult<Ref> items[] = {std::move(first), Ref::steal(second)};
    if (!items[1]->get()) items[1] = std::unexpected(kavrel_python::python::fetch_pending());
    return kavrel_python::convention::tuple_result(items);
}

PyObject* dims_tuple(const std::uint64_t* v, std::size_t n) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(n));
    for (std::size_t k = 0; t && k < n; ++k) PyTuple_SET_ITEM(t, k, PyLong_FromUnsignedLongLong(v[k]));
    return t;
}
PyObject* strides_tuple(const std::int64_t* v, std::size_t n) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(n));
    for (std::size_t k = 0; t && k < n; ++k) PyTuple_SET_ITEM(t, k, PyLong_FromLongLong(v[k]));
    return t;
}

// Bodies that only inspect or register: the convention still wants the lock released once
// before a result is returned, so they release it around nothing.
void release_once(CallContext& ctx) {
    ctx.without_lock([] {});
}

// --- Bodies ------------------------------------------------------------------------------

PyResult<Ref> internal_error(CallContext& ctx, const ArrayView<float, 2>&) {
    ctx.without_lock([] { error::fail_invariant("invariant: hook failed while the lock was released"); });
    return kavrel_python::convention::float_result(0.0);
}

PyResult<Ref> bad_alloc(CallContext& ctx, const ArrayView<float, 2>&) {
    ctx.without_lock([] { throw std::bad_alloc(); });
    return kavrel_python::convention::float_result(0.0);
}

PyResult<Ref> release_twice(CallContext& ctx, const ArrayView<float, 2>&) {
    ctx.without_lock([] {});
    ctx.without_lock([] {});
    return kavrel_python::convention::float_result(0.0);
}

// Returns a result with the lock still held: a broken body.
PyResult<Ref> keep_lock(CallContext&, const ArrayView<float, 2>&) {
    return kavrel_python::convention::float_result(0.0);
}

PyResult<Ref> library_error(CallContext& ctx, const ArrayView<float, 2>& a) {
    const error::KavrelError e = ctx.without_lock(
        [&] { return error::KavrelError(error::ShapeMismatch{{a.layout.shape[0], a.layout.shape[1]}, {3}}); });
    return kavrel_python::python::value_error(e);
}

// A writable borrow of the array's memory, held until the returned capsule dies.
PyResult<Ref> hold_writable(CallContext& ctx, PyObject* const& array) {
    release_once(ctx);
    auto* held = new kavrel_python::borrow::Borrow(kavrel_python::borrow::Borrow::acquire(
        bridge::byte_range(array), kavrel_python::borrow::Access::writable, "hold_writable's array"));
    Ref capsule = Ref::steal(PyCapsule_New(held, "kavrel_python_hooks.writable", [](PyObject* c) {
        delete static_cast<kavrel_python::borrow::Borrow*>(PyCapsule_GetPointer(c, "kavrel_python_hooks.writable"));
    }));
    if (!capsule) {
        delete held;
        return std::unexpected(kavrel_python::python::fetch_pending());
    }
    return capsule;
}

// output_array filled with 0, 1, 2, ... and handed to NumPy; also the buffer's address.
PyResult<Ref> output(CallContext& ctx, const std::uint64_t& rows, const std::uint64_t& cols) {
    PyResult<bridge::OutputArray<float, 2>> out = bridge::output_array<float, 2>({rows, cols});
    if (!out) return std::unexpected(std::move(out.error()));
    float* data = out->data();
    ctx.without_lock([&] {
        for (std::uint64_t i = 0; i < out->len(); ++i) data[i] = static_cast<float>(i);
    });
    return pair(bridge::array_into_numpy2(std::move(*out)), address(data));
}

// output_array handed to NumPy untouched: its zeros as the allocation left them.
PyResult<Ref> zeros(CallContext& ctx, const std::uint64_t& rows, const std::uint64_t& cols) {
    PyResult<bridge::OutputArray<float, 2>> out = bridge::output_array<float, 2>({rows, cols});
    if (!out) return std::unexpected(std::move(out.error()));
    ctx.without_lock([] {});
    return bridge::array_into_numpy2(std::move(*out));
}

// A copy of `a` in one of several layouts, handed to NumPy; also the buffer's address.
//   0: row-major, exact length (handed over)    1: column-major storage of the same values
//   2: row-major at offset 5                    3: row-major in a longer buffer
PyResult<Ref> relayout(CallContext& ctx, const ArrayView<float, 2>& a, const std::uint64_t& mode) {
    Array<float, 2> copy = ctx.without_lock([&] { return kavrel::application::view::contiguous::to_contiguous(a); });
    const std::uint64_t rows = a.layout.shape[0], cols = a.layout.shape[1];
    std::vector<float>& data = copy.storage.data;
    switch (mode) {
        case 0:
            break;
        case 1: {
            std::vector<float> columns(data.size());
            for (std::uint64_t i = 0; i < rows; ++i)
                for (std::uint64_t j = 0; j < cols; ++j) columns[j * rows + i] = data[i * cols + j];
            data = std::move(columns);
            copy.layout.strides = {1, static_cast<std::int64_t>(rows)};
            break;
        }
        case 2:
            data.insert(data.begin(), 5, -1.0f);
            copy.layout.offset = 5;
            break;
        default:
            data.resize(data.size() + 3, -1.0f);
            break;
    }
    const void* buffer = copy.data();
    return pair(bridge::array_into_numpy2(std::move(copy)), address(buffer));
}

PyResult<Ref> roundtrip3(CallContext& ctx, const ArrayView<float, 3>& a) {
    auto copy = ctx.without_lock([&] {
        return error::expect(Array<float, 3>::from_vec(a.layout.shape, std::vector<float>(a.ptr, a.ptr + a.len)),
                             "hook copy");
    });
    return bridge::array_into_numpy3(std::move(copy));
}

// A one-axis result of n elements 0, 1, 2, ... of element kind 0 float32, 1 float64,
// 2 uint64, 3 complex128 (k + 0.5j k); also the buffer's address.
template <class T>
PyResult<Ref> counted(CallContext& ctx, std::uint64_t n) {
    std::vector<T> v = ctx.without_lock([n] {
        std::vector<T> values(n);
        for (std::uint64_t k = 0; k < n; ++k) {
            if constexpr (std::is_same_v<T, fennick::types::complex::Complex>) values[k] = {double(k), 0.5 * double(k)};
            else values[k] = static_cast<T>(k);
        }
        return values;
    });
    const void* data = v.data();
    return pair(bridge::vector_into_numpy(std::move(v)), address(data));
}

PyResult<Ref> vector(CallContext& ctx, const std::uint64_t& kind, const std::uint64_t& n) {
    switch (kind) {
        case 0: return counted<float>(ctx, n);
        case 1: return counted<double>(ctx, n);
        case 2: return counted<std::uint64_t>(ctx, n);
        default: return counted<fennick::types::complex::Complex>(ctx, n);
    }
}

template <class T, std::size_t N>
PyResult<Ref> view_info(CallContext& ctx, const ArrayView<T, N>& v) {
    release_once(ctx);
    PyObject* t = Py_BuildValue("(NNKKN)", dims_tuple(v.layout.shape.data(), N), strides_tuple(v.layout.strides.data(), N),
                                static_cast<unsigned long long>(v.layout.offset), static_cast<unsigned long long>(v.len),
                                address(v.ptr));
    if (!t) return std::unexpected(kavrel_python::python::fetch_pending());
    return Ref::steal(t);
}

// The dynamic array sum_dyn builds: its extents, strides and storage length.
PyResult<Ref> dyn_info(CallContext& ctx, const bridge::DynInput& input) {
    auto a = ctx.without_lock([&] { return bridge::dyn_array(input); });
    if (!a) return kavrel_python::python::value_error(a.error());
    PyObject* t = Py_BuildValue("(NNK)", dims_tuple(a->layout.shape.data(), a->layout.shape.size()),
                                strides_tuple(a->layout.strides.data(), a->layout.strides.size()),
                                static_cast<unsigned long long>(a->storage.len));
    if (!t) return std::unexpected(kavrel_python::python::fetch_pending());
    return Ref::steal(t);
}

// `waiting` is set while `wait_released` has the lock released; `signalled` by `signal`,
// which only another Python thread can run meanwhile.
std::atomic<bool> waiting{false};
std::atomic<bool> signalled{false};

// True when `signal` ran while this call had the lock released; false after a 30 s
// deadline (the test reports a hang).
PyResult<Ref> wait_released(CallContext& ctx, const ArrayView<float, 2>&) {
    signalled.store(false, std::memory_order_relaxed);
    const bool seen = ctx.without_lock([] {
        waiting.store(true, std::memory_order_release);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!signalled.load(std::memory_order_acquire))
            if (std::chrono::steady_clock::now() > deadline) return false;
            else std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return true;
    });
    waiting.store(false, std::memory_order_relaxed);
    return Ref::steal(PyBool_FromLong(seen));
}

// Keeps computing, without the lock, until the interpreter has begun to finalize (30 s
// deadline), so that it takes the lock back while a daemon thread is being ended.
PyResult<Ref> compute_through_exit(CallContext& ctx, const ArrayView<float, 2>&) {
    ctx.without_lock([] {
        waiting.store(true, std::memory_order_release);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
#if PY_VERSION_HEX >= 0x030D0000
        while (!Py_IsFinalizing() && std::chrono::steady_clock::now() < deadline)
#else
        while (!_Py_IsFinalizing() && std::chrono::steady_clock::now() < deadline)
#endif
            std::this_thread::yield();
    });
    return kavrel_python::convention::float_result(0.0);
}

// Signals a waiting call; false when none is waiting.
PyObject* signal(PyObject*, PyObject*) noexcept {
    if (!waiting.load(std::memory_order_acquire)) Py_RETURN_FALSE;
    signalled.store(true, std::memory_order_release);
    Py_RETURN_TRUE;
}

PyObject* borrow_count(PyObject*, PyObject*) noexcept {
    try {
        return PyLong_FromUnsignedLongLong(kavrel_python::borrow::held_count());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
}

// The module init's guard around an init that throws: 0 InternalError, 1 std::bad_alloc,
// 2 std::length_error, 3 std::runtime_error, 4 an int; any other kind returns None.
int init_throws = -1;

PyObject* throwing_init() {
    switch (init_throws) {
        case 0: kavrel::domain::error::fail_invariant("invariant: thrown by a test init");
        case 1: throw std::bad_alloc();
        case 2: throw std::length_error("vector::reserve");
        case 3: throw std::runtime_error("thrown by a test init");
        case 4: throw 4;
        default: Py_RETURN_NONE;
    }
}

PyObject* init_throwing(PyObject*, PyObject* kind) noexcept {
    init_throws = static_cast<int>(PyLong_AsLong(kind));
    if (init_throws == -1 && PyErr_Occurred()) return nullptr;
    return kavrel_python::convention::run_init(&throwing_init);
}

// --- Table -------------------------------------------------------------------------------

constexpr Signature a_only(const char* name) { return {name, {"a", nullptr}, 1, 1}; }
constexpr Signature internal_error_fn = a_only("internal_error");
constexpr Signature bad_alloc_fn = a_only("bad_alloc");
constexpr Signature release_twice_fn = a_only("release_twice");
constexpr Signature keep_lock_fn = a_only("keep_lock");
constexpr Signature library_error_fn = a_only("library_error");
constexpr Signature hold_writable_fn = a_only("hold_writable");
constexpr Signature output_fn = {"output", {"rows", "cols"}, 2, 2};
constexpr Signature zeros_fn = {"zeros", {"rows", "cols"}, 2, 2};
constexpr Signature relayout_fn = {"relayout", {"a", "mode"}, 2, 2};
constexpr Signature roundtrip3_fn = a_only("roundtrip3");
constexpr Signature vector_fn = {"vector", {"kind", "n"}, 2, 2};
constexpr Signature view_f64_2_fn = a_only("view_f64_2");
constexpr Signature view_f32_1_fn = a_only("view_f32_1");
constexpr Signature view_f32_6_fn = a_only("view_f32_6");
constexpr Signature dyn_info_fn = a_only("dyn_info");
constexpr Signature wait_released_fn = a_only("wait_released");
constexpr Signature compute_through_exit_fn = a_only("compute_through_exit");

template <const Signature& Sig, auto Body, class... Args>
PyMethodDef method() {
    return {Sig.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<Sig, Body, Args...>)),
            METH_FASTCALL | METH_KEYWORDS, nullptr};
}

using F32x2 = ArrayArg<float, 2>;

PyMethodDef functions[] = {
    method<internal_error_fn, &internal_error, F32x2>(),
    method<bad_alloc_fn, &bad_alloc, F32x2>(),
    method<release_twice_fn, &release_twice, F32x2>(),
    method<keep_lock_fn, &keep_lock, F32x2>(),
    method<library_error_fn, &library_error, F32x2>(),
    method<hold_writable_fn, &hold_writable, AnyArrayArg>(),
    method<output_fn, &output, CountArg, CountArg>(),
    method<zeros_fn, &zeros, CountArg, CountArg>(),
    method<relayout_fn, &relayout, F32x2, CountArg>(),
    method<roundtrip3_fn, &roundtrip3, ArrayArg<float, 3>>(),
    method<vector_fn, &vector, CountArg, CountArg>(),
    method<view_f64_2_fn, &view_info<double, 2>, ArrayArg<double, 2>>(),
    method<view_f32_1_fn, &view_info<float, 1>, ArrayArg<float, 1>>(),
    method<view_f32_6_fn, &view_info<float, 6>, ArrayArg<float, 6>>(),
    method<dyn_info_fn, &dyn_info, DynF32Arg>(),
    method<wait_released_fn, &wait_released, F32x2>(),
    method<compute_through_exit_fn, &compute_through_exit, F32x2>(),
    {"signal", &signal, METH_NOARGS, nullptr},
    {"borrow_count", &borrow_count, METH_NOARGS, nullptr},
    {"init_throwing", &init_throwing, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "kavrel_python_hooks", "", 0, functions,
                          nullptr,               nullptr,               nullptr, nullptr};

}  // namespace hooks

PyMODINIT_FUNC PyInit_kavrel_python_hooks() noexcept {
    return kavrel_python::convention::run_init([] { return PyModule_Create(&hooks::definition); });
}
