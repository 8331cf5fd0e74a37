#include "kavrel_python/python.hpp"

namespace kavrel_python::python {

namespace {

// Created on first use and kept for the life of the process. Read and set only with the
// interpreter lock held; a function-local static could deadlock a thread waiting on its
// guard while holding the lock.
PyObject* internal_error_type = nullptr;

std::string utf8(PyObject* text) {
    Py_ssize_t size = 0;
    const char* chars = text ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
    if (!chars) {
        PyErr_Clear();
        return "?";
    }
    return std::string(chars, static_cast<std::size_t>(size));
}

}  // namespace

PyError fetch_pending() {
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    if (!raised) return PyError{PyExc_SystemError, "attempted to fetch exception but none was set", {}};
    return PyError{nullptr, {}, std::move(raised)};
}

namespace {

// `type` raised with the whole of `message`, NUL characters included (a C string would end at
// the first one). Text that is not UTF-8 keeps its other characters.
void raise_text(PyObject* type, std::string_view message) {
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;  // the decoder's own MemoryError stands
    PyErr_SetObject(type, text.get());
}

}  // namespace

void raise(PyError&& e) {
    if (e.raised) {
        PyErr_SetRaisedException(e.raised.release());
    } else if (e.type == PyExc_MemoryError && e.message.empty()) {
        PyErr_NoMemory();
    } else {
        raise_text(e.type, e.message);
    }
}

std::string take_pending_text() {
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    if (!raised) return "no Python exception was set";
    std::string text = type_name(raised.get());
    Ref str = Ref::steal(PyObject_Str(raised.get()));
    if (!str) PyErr_Clear();
    const std::string message = utf8(str.get());
    if (!message.empty()) text += ": " + message;
    return text;
}

void raise_internal_error(std::string_view message) {
    if (!internal_error_type) {
        internal_error_type = PyErr_NewException("kavrel_python.InternalError", PyExc_BaseException, nullptr);
        if (!internal_error_type) Py_FatalError("kavrel_python: could not create the internal-error type");
    }
    raise_text(internal_error_type, message);
}

std::string type_name(PyObject* object) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(object)));
    if (!name) PyErr_Clear();
    return utf8(name.get());
}

}  // namespace kavrel_python::python
