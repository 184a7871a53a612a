#pragma once
#include <Python.h>

namespace csdk::exposed {

// Sets the fourteen exposed SDK functions on the module, in alphabetical order.
int add_to(PyObject* module) noexcept;

}  // namespace csdk::exposed
