#include "kavrel_python/convention.hpp"

#include <cxxabi.h>
#include <unistd.h>

#include <new>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace kavrel_python::convention {

namespace {

using numpy_bridge::Element;

std::string call_name(const Signature& sig) { return std::string(sig.name) + "()"; }

using kavrel::domain::error::format_decimal;

std::string too_many_positional(const Signature& sig, std::size_t given) {
    std::string text = call_name(sig) + " takes ";
    if (sig.required == sig.count) text += format_decimal(sig.count);
    else text += "from " + format_decimal(sig.required) + " to " + format_decimal(sig.count);
    return text + " positional arguments but " + format_decimal(given) + (given == 1 ? " was" : " were") + " given";
}

std::string missing_required(const Signature& sig, const std::vector<const char*>& names) {
    std::string text = call_name(sig) + " missing " + format_decimal(names.size()) + " required positional " +
                       (names.size() == 1 ? "argument" : "arguments") + ": ";
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += "'" + std::string(names[i]) + "'";
    }
    return text;
}

std::string expected_kind(Element element, int ndim) {
    std::string text = element == Element::f32 ? "ndarray(float32" : "ndarray(float64";
    if (ndim >= 0) text += ", ndim=" + std::to_string(ndim);
    return text + ")";
}

PyError conversion_error(const char* name, PyObject* object, const std::string& expected) {
    return PyError{PyExc_TypeError,
                   "argument '" + std::string(name) + "': '" + python::type_name(object) +
                       "' object cannot be converted to '" + expected + "'",
                   {}};
}

}  // namespace

PyResult<Bound> bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    Bound bound{};
    const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
    if (given > sig.count) return python::type_error(too_many_positional(sig, given));
    for (std::size_t i = 0; i < given; ++i) bound[i] = args[i];
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size = 0;
        const char* key = PyUnicode_AsUTF8AndSize(keyword, &size);
        if (!key && PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            // A name without a UTF-8 form (a lone surrogate) names no parameter either; the
            // message keeps the name as given, as CPython's own functions do.
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", call_name(sig).c_str(),
                         keyword);
            return std::unexpected(python::fetch_pending());
        }
        if (!key) return std::unexpected(python::fetch_pending());
        const std::string_view name(key, static_cast<std::size_t>(size));
        std::size_t index = 0;
        while (index < sig.count && name != sig.params[index]) ++index;
        if (index == sig.count)
            return python::type_error(call_name(sig) + " got an unexpected keyword argument '" + std::string(name) + "'");
        if (bound[index])
            return python::type_error(call_name(sig) + " got multiple values for argument '" + std::string(name) + "'");
        bound[index] = args[given + static_cast<std::size_t>(k)];
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i)
        if (!bound[i]) missing.push_back(sig.params[i]);
    if (!missing.empty()) return python::type_error(missing_required(sig, missing));
    return bound;
}

CallContext::LockRelease::~LockRelease() {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {
        // The only unwind out of this C call: CPython 3.12 and 3.13 end a thread that takes
        // the lock back while the interpreter finalizes with pthread_exit. Past this noexcept
        // frame that would abort the exiting process, and the call's borrows cannot be
        // released without the lock; so the thread parks here, as CPython itself does from
        // 3.14 on. It never leaves the handler: leaving it without rethrowing aborts.
        for (;;) pause();
    }
}

CallContext::~CallContext() {
    while (held_ > 0) borrows_[--held_].reset();
}

void CallContext::hold(borrow::Borrow&& b) {
    if (held_ == borrows_.size()) kavrel::domain::error::fail_invariant("invariant: a call borrows at most one array per parameter");
    borrows_[held_++].emplace(std::move(b));
}

namespace detail {

std::optional<PyError> check_array(CallContext& ctx, const char* name, PyObject* object, Element element, int ndim) {
    if (!numpy_bridge::is_array(object, element, ndim)) return conversion_error(name, object, expected_kind(element, ndim));
    ctx.hold(borrow::Borrow::acquire(numpy_bridge::byte_range(object), borrow::Access::read_only,
                                     "argument '" + std::string(name) + "'"));
    return std::nullopt;
}

std::optional<PyError> check_array_layout(const char* name, PyObject* object) {
    if (!numpy_bridge::c_contiguous(object)) return PyError{PyExc_ValueError, std::string(name) + " must be C-contiguous", {}};
    // A C-contiguous array can still start at an odd address (a buffer sliced at a byte
    // offset); reading it through an element pointer would be undefined.
    if (!numpy_bridge::element_aligned(object)) return PyError{PyExc_ValueError, std::string(name) + " must be aligned", {}};
    return std::nullopt;
}

}  // namespace detail

std::optional<PyError> OptionalTextArg::check_type(CallContext&, const char* name, PyObject* object) {
    if (!object || object == Py_None) return std::nullopt;
    if (!PyUnicode_Check(object)) return conversion_error(name, object, "str");
    // The text is taken here, before any memory check: a str that has no UTF-8 form (a lone
    // surrogate) fails now. CPython keeps the encoded form, so `value` reuses it.
    if (!PyUnicode_AsUTF8AndSize(object, nullptr)) return python::fetch_pending();
    return std::nullopt;
}

PyResult<OptionalTextArg::Value> OptionalTextArg::value(PyObject* object) {
    if (!object || object == Py_None) return std::nullopt;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (!text) return std::unexpected(python::fetch_pending());
    return std::string(text, static_cast<std::size_t>(size));
}

PyResult<Ref> float_result(double value) {
    Ref result = Ref::steal(PyFloat_FromDouble(value));
    if (!result) return std::unexpected(python::fetch_pending());
    return result;
}

PyResult<Ref> tuple_result(std::span<PyResult<Ref>> items) {
    for (auto& item : items)
        if (!item) return std::unexpected(std::move(item.error()));
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return std::unexpected(python::fetch_pending());
    for (std::size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i]->release());
    return tuple;
}

PyObject* run_entry(Thunk thunk, const void* call) noexcept {
    try {
        PyResult<Ref> result = [&] {
            // The context dies here, before anything is raised: borrows are released on
            // every way out, after the lock has been taken back.
            CallContext ctx;
            PyResult<Ref> outcome = thunk(ctx, call);
            // Errors may leave before the computation; a result may not.
            if (outcome && !ctx.released_lock())
                kavrel::domain::error::fail_invariant(
                    "invariant: a call returned a result without releasing the interpreter lock");
            return outcome;
        }();
        if (!result) {
            python::raise(std::move(result.error()));
            return nullptr;
        }
        return result->release();
    } catch (...) {
        raise_caught();
    }
    return nullptr;
}

PyObject* run_init(PyObject* (*init)()) noexcept {
    try {
        return init();
    } catch (...) {
        raise_caught();
    }
    return nullptr;
}

namespace {

void report_internal(std::string_view message) {
    kavrel::domain::error::write_to_stderr(message);
    python::raise_internal_error(message);
}

}  // namespace

void raise_caught() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        report_internal(kavrel::domain::error::message_of(e));
    } catch (...) {
        report_internal("an exception of an unknown type escaped a call into the module");
    }
}

}  // namespace kavrel_python::convention
