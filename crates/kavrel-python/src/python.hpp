// Owned Python references, the Python exception a call ends with, and the module's
// internal-error type. Everything here runs with the interpreter lock held.
#pragma once

#include <Python.h>

#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "kavrel/domain/error/error.hpp"

namespace kavrel_python::python {

// One strong reference, dropped when the holder dies.
class Ref {
public:
    Ref() = default;
    // Takes over a new reference (which may be null).
    static Ref steal(PyObject* object) { return Ref(object); }
    static Ref borrow(PyObject* object) { return Ref(Py_XNewRef(object)); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }
    void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// The exception a call raises once its body has returned: either a type and a message, or
// an exception object fetched from the interpreter.
struct PyError {
    PyObject* type = nullptr;  // borrowed: one of the interpreter's static exception types
    std::string message;
    Ref raised;  // set instead of type when the error came from a failed CPython or NumPy call
};

template <class T>
using PyResult = std::expected<T, PyError>;

inline std::unexpected<PyError> error(PyObject* type, std::string message) {
    return std::unexpected(PyError{type, std::move(message), {}});
}
inline std::unexpected<PyError> type_error(std::string message) { return error(PyExc_TypeError, std::move(message)); }
inline std::unexpected<PyError> value_error(std::string message) { return error(PyExc_ValueError, std::move(message)); }
// A library error reaches Python as ValueError with its display text.
inline std::unexpected<PyError> value_error(const kavrel::domain::error::KavrelError& e) {
    return value_error(kavrel::domain::error::display(e));
}
// MemoryError without a message, as PyErr_NoMemory raises it.
inline std::unexpected<PyError> no_memory() { return error(PyExc_MemoryError, {}); }

// The pending exception of a failed CPython call; SystemError when the call set none.
PyError fetch_pending();
// Sets `e` as the interpreter's pending exception, its message whole (NUL characters included).
void raise(PyError&& e);

// "TypeName: message" of the pending exception, which is cleared; for internal-error texts.
std::string take_pending_text();

// Raises the internal-error exception (derived from BaseException, so `except Exception`
// does not catch it) with `message`, creating its type on first use.
void raise_internal_error(std::string_view message);

// The type's __name__ as UTF-8 ("list", "ndarray").
std::string type_name(PyObject* object);

}  // namespace kavrel_python::python
