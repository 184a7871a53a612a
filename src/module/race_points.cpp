#include "module/race_points.hpp"

#if CSDK_RACE_POINTS
#include "module/compat.hpp"
#include "module/ref.hpp"

namespace csdk {

void race_point(const char* point, PyObject* subject) noexcept {
    compat::saved_exception pending;
    pending.fetch();
    ref hook = ref::steal(compat::sys_get("_csdk_race_hook"));
    if (hook && hook.get() != Py_None) {
        ref done = ref::steal(PyObject_CallFunction(hook.get(), "sO", point, subject));
        if (!done) PyErr_WriteUnraisable(hook.get());
    }
    PyErr_Clear();
    pending.restore_copy();
}

}  // namespace csdk
#endif
