// The extension module kavrel_python: its definition record, the table of its 31
// functions in registration order, and its init function PyInit_kavrel_python (the only
// exported symbol). Importing creates the module once per process, refuses a second
// interpreter, fills __all__ and does nothing else: no thread, no NumPy, no environment.
#pragma once

#include <Python.h>

#include <span>

namespace kavrel_python::module {

// The method definitions in registration order.
std::span<PyMethodDef> function_table();

}  // namespace kavrel_python::module
