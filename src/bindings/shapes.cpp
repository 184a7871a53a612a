#include "bindings/shapes.hpp"

namespace csdk::shapes {

int success_test::compare_object(PyObject* status_obj, int op) noexcept {
    ref outcome = ref::steal(PyObject_RichCompare(status_obj, held_, op));
    if (!outcome) return -1;
    if (outcome.get() == Py_True) return 1;
    if (outcome.get() == Py_False) return 0;
    return PyObject_IsTrue(outcome.get());
}

}  // namespace csdk::shapes
