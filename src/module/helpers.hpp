// The helper functions and the adapt_to_python3 wrapper type.
#pragma once
#include <Python.h>

namespace csdk::helpers {

// Binds is_windows, is_linux, adapt_to_python3, c_status_ok and c_status_fail, in this order.
int add_to(PyObject* module) noexcept;

// adapt_to_python3(func): a new wrapper around func.
PyObject* adapt(PyObject* func) noexcept;

}  // namespace csdk::helpers
