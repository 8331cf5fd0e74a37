// The calling convention every function of the module shares: binding of the fast-call
// arguments with CPython's TypeError texts, the argument checks in their fixed order (all
// type checks and read-only borrows first, then contiguity and alignment, then views), one
// release of the interpreter lock around the computation, and the mapping of every failure
// to its Python exception. An entry is `entry<sig, body, Arg...>`; a body receives the
// checked values and returns a Python object or the exception to raise.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "kavrel/domain/error/error.hpp"
#include "kavrel_python/borrow.hpp"
#include "kavrel_python/numpy_bridge.hpp"
#include "kavrel_python/python.hpp"

namespace kavrel_python::convention {

using python::PyError;
using python::PyResult;
using python::Ref;

inline constexpr std::size_t max_params = 2;

// The argument description of one function: positional-or-keyword parameters only.
struct Signature {
    const char* name;
    std::array<const char*, max_params> params;
    std::size_t count;     // parameters
    std::size_t required;  // the first `required` parameters have no default
};

// The bound arguments (borrowed from the caller); null for an omitted optional parameter.
using Bound = std::array<PyObject*, max_params>;

[[nodiscard]] PyResult<Bound> bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                                   PyObject* kwnames);

// What one call holds: its borrows, released last first when the call ends (after the lock
// is back), and whether it has released the interpreter lock.
class CallContext {
public:
    CallContext() = default;
    CallContext(const CallContext&) = delete;
    CallContext& operator=(const CallContext&) = delete;
    ~CallContext();

    void hold(borrow::Borrow&& b);

    // Whether the call has released the interpreter lock; a call that returns a result must
    // have done so exactly once.
    bool released_lock() const noexcept { return lock_released_; }

    // Runs `f` with the interpreter lock released and takes it back however `f` leaves.
    // Nothing in `f` may touch a Python object. A call releases the lock once.
    template <class F>
    std::invoke_result_t<F&> without_lock(F&& f) {
        if (lock_released_) kavrel::domain::error::fail_invariant("invariant: a call releases the interpreter lock once");
        lock_released_ = true;
        const LockRelease released;
        return f();
    }

private:
    struct LockRelease {
        PyThreadState* state = PyEval_SaveThread();
        LockRelease() = default;
        LockRelease(const LockRelease&) = delete;
        ~LockRelease();
    };

    std::array<std::optional<borrow::Borrow>, max_params> borrows_;
    std::size_t held_ = 0;
    bool lock_released_ = false;
};

// A result computed without the interpreter lock, or the display text of its library error,
// formatted before the lock is taken back.
template <class T>
using Unlocked = std::expected<T, std::string>;

// Runs `compute` through ctx.without_lock. It returns a Result, whose error becomes its display
// text, or an Unlocked, whose message is its own.
template <class F>
auto compute_unlocked(CallContext& ctx, F&& compute) {
    using Computed = std::invoke_result_t<F&>;
    using Value = typename Computed::value_type;
    return ctx.without_lock([&]() -> Unlocked<Value> {
        auto result = compute();
        if constexpr (std::is_same_v<Computed, Unlocked<Value>>) {
            return result;
        } else {
            if (!result) return std::unexpected(kavrel::domain::error::display(result.error()));
            if constexpr (std::is_void_v<Value>) {
                return {};
            } else {
                return std::move(*result);
            }
        }
    });
}

// --- Argument kinds --------------------------------------------------------------------
// Each kind tests its argument (and borrows it) in `check_type`, tests its memory in
// `check_layout`, and makes the value the body receives in `value`.

namespace detail {
std::optional<PyError> check_array(CallContext& ctx, const char* name, PyObject* object,
                                   numpy_bridge::Element element, int ndim);
std::optional<PyError> check_array_layout(const char* name, PyObject* object);
}  // namespace detail

template <class T>
constexpr numpy_bridge::Element element_of() {
    static_assert(std::is_same_v<T, float> || std::is_same_v<T, double>);
    return std::is_same_v<T, float> ? numpy_bridge::Element::f32 : numpy_bridge::Element::f64;
}

// A NumPy array of element type T and rank N, seen as a view over its buffer.
template <class T, std::size_t N>
struct ArrayArg {
    using Value = numpy_bridge::ArrayView<T, N>;
    static std::optional<PyError> check_type(CallContext& ctx, const char* name, PyObject* object) {
        return detail::check_array(ctx, name, object, element_of<T>(), static_cast<int>(N));
    }
    static std::optional<PyError> check_layout(const char* name, PyObject* object) {
        return detail::check_array_layout(name, object);
    }
    static PyResult<Value> value(PyObject* object) { return numpy_bridge::view_from_numpy<T, N>(object); }
};

// A float32 NumPy array of any rank (sum_dyn).
struct DynF32Arg {
    using Value = numpy_bridge::DynInput;
    static std::optional<PyError> check_type(CallContext& ctx, const char* name, PyObject* object) {
        return detail::check_array(ctx, name, object, numpy_bridge::Element::f32, -1);
    }
    static std::optional<PyError> check_layout(const char* name, PyObject* object) {
        return detail::check_array_layout(name, object);
    }
    static PyResult<Value> value(PyObject* object) { return numpy_bridge::dyn_input_from_numpy(object); }
};

// An optional str (norm's ord): omitted or None is no value.
struct OptionalTextArg {
    using Value = std::optional<std::string>;
    static std::optional<PyError> check_type(CallContext& ctx, const char* name, PyObject* object);
    static std::optional<PyError> check_layout(const char*, PyObject*) { return std::nullopt; }
    static PyResult<Value> value(PyObject* object);
};

// --- Results of bodies -----------------------------------------------------------------

[[nodiscard]] PyResult<Ref> float_result(double value);
// A tuple of results already made, in the documented order; the first failed item fails it.
[[nodiscard]] PyResult<Ref> tuple_result(std::span<PyResult<Ref>> items);

// --- Entries ---------------------------------------------------------------------------

using Thunk = PyResult<Ref> (*)(CallContext& ctx, const void* call);

// The shared entry routine: runs `thunk` in a fresh call context and turns every way out
// into CPython's convention (a new reference, or NULL with an exception set). A result from a
// call that never released the interpreter lock is an internal error, as is a second
// release. An exception that escapes becomes a Python exception through raise_caught.
PyObject* run_entry(Thunk thunk, const void* call) noexcept;

// The module's init function: `init` run with the same translation of escaping exceptions as
// every entry.
PyObject* run_init(PyObject* (*init)()) noexcept;

// The one translation of a C++ exception into the pending Python exception, for everything
// CPython calls; only inside a catch handler. A failed allocation (std::bad_alloc, or a buffer
// length beyond what can be allocated, std::length_error) is MemoryError; a broken invariant and
// every other exception are written to standard error and raised as the internal-error type with
// their text. A thread being ended by pthread_exit keeps unwinding (past a noexcept caller that is
// std::terminate, as it would be without this handler).
void raise_caught();

namespace detail {

template <auto Body, class... Args, std::size_t... I>
PyResult<Ref> checked_call(CallContext& ctx, const Signature& sig, const Bound& bound,
                           std::index_sequence<I...>) {
    using Check = std::optional<PyError> (*)(CallContext&, const char*, PyObject*);
    using LayoutCheck = std::optional<PyError> (*)(const char*, PyObject*);
    // Types (and borrows) of all arguments before any memory check, each in parameter order.
    constexpr Check type_checks[] = {&Args::check_type...};
    constexpr LayoutCheck layout_checks[] = {&Args::check_layout...};
    for (std::size_t i = 0; i < sizeof...(Args); ++i)
        if (auto failed = type_checks[i](ctx, sig.params[i], bound[i])) return std::unexpected(std::move(*failed));
    for (std::size_t i = 0; i < sizeof...(Args); ++i)
        if (auto failed = layout_checks[i](sig.params[i], bound[i])) return std::unexpected(std::move(*failed));
    // Making a value has no side effect, so all are made and the first failure counts.
    std::tuple<PyResult<typename Args::Value>...> values{Args::value(bound[I])...};
    PyError* first = nullptr;
    ((first = first ? first : (std::get<I>(values) ? nullptr : &std::get<I>(values).error())), ...);
    if (first) return std::unexpected(std::move(*first));
    return Body(ctx, *std::get<I>(values)...);
}

}  // namespace detail

// The CPython fast-call entry of one function. Body: PyResult<Ref>(CallContext&, const
// Args::Value&...).
template <const Signature& Sig, auto Body, class... Args>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    static_assert(Sig.count == sizeof...(Args) && Sig.count <= max_params && Sig.required <= Sig.count);
    struct Call {
        PyObject* const* args;
        Py_ssize_t nargsf;
        PyObject* kwnames;
    };
    const Call call{args, nargsf, kwnames};
    return run_entry(
        [](CallContext& ctx, const void* p) -> PyResult<Ref> {
            const auto& c = *static_cast<const Call*>(p);
            PyResult<Bound> bound = bind(Sig, c.args, c.nargsf, c.kwnames);
            if (!bound) return std::unexpected(std::move(bound.error()));
            return detail::checked_call<Body, Args...>(ctx, Sig, *bound, std::index_sequence_for<Args...>{});
        },
        &call);
}

}  // namespace kavrel_python::convention
