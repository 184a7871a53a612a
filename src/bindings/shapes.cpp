#include "bindings/shapes.hpp"

namespace csdk::shapes {

bool success_test::acquire_object(PyObject* owned) noexcept {
    held_ = owned;  // held before anything below can run Python code
    int late = compat::finalizing();
    if (late < 0) return false;
    if (late) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the interpreter is shutting down: the SDK is not called, as CSDK_OPERATE_SUCCESS "
                        "may already be cleared");
        return false;
    }
    return true;
}

int success_test::compare_object(PyObject* status_obj, int op) noexcept {
    unsigned long calls = sdk_calls;
    ref outcome = ref::steal(PyObject_RichCompare(status_obj, held_, op));
    if (!outcome) return -1;
    int truth = outcome.get() == Py_True ? 1 : outcome.get() == Py_False ? 0 : PyObject_IsTrue(outcome.get());
    outcome.reset();
    if (truth < 0) return -1;
    // A success after another SDK call: the response it reported may be gone. A failure reads
    // nothing, so it stands.
    if (CSDK_UNLIKELY(sdk_calls != calls) && truth == (op == Py_EQ)) {
        PyErr_Format(PyExc_RuntimeError,
                     "the SDK was called again while status %R was compared with CSDK_OPERATE_SUCCESS: "
                     "the response it reported is no longer valid",
                     status_obj);
        return -1;
    }
    return truth;
}

}  // namespace csdk::shapes
