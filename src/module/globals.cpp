#include "globals.hpp"

#include <initializer_list>

namespace csdk {

module_state state;

#if CSDK_DICT_WATCHERS
uint64_t compat::namespace_generation = 1;

namespace {
int on_namespace_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++compat::namespace_generation;
    return 0;
}
}  // namespace

int compat::watch_namespaces(PyObject* globals, PyObject* builtins) {
    static int watcher = -1;
    if (watcher < 0) {
        watcher = PyDict_AddWatcher(on_namespace_change);
        if (watcher < 0) return -1;
    }
    if (PyDict_Watch(watcher, globals) < 0 || PyDict_Watch(watcher, builtins) < 0) return -1;
    ++compat::namespace_generation;
    return 0;
}
#else
int compat::watch_namespaces(PyObject*, PyObject*) { return 0; }
#endif

PyObject* state_name() noexcept {
    // Made on first success: a failed allocation is retried at the next use.
    static PyObject* name = nullptr;
    return compat::once(name, [] { return PyUnicode_InternFromString("c_sdk"); });
}

int global_name::init() noexcept {
    if (!name_) name_ = PyUnicode_InternFromString(text_);
    value_ = nullptr;
    return name_ ? 0 : -1;
}

PyObject* global_name::lookup() noexcept {
    if (CSDK_UNLIKELY(!state.module)) return not_initialised();
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* v;
    if (PyDict_GetItemRef(state.dict, name_, &v) == 0) (void)PyDict_GetItemRef(state.builtins, name_, &v);
    if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_);
    return v;
#else
    PyObject* v = PyDict_GetItemWithError(state.dict, name_);
    if (!v && !PyErr_Occurred()) v = PyDict_GetItemWithError(state.builtins, name_);
    if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_);
    return Py_XNewRef(v);
#endif
}

#if CSDK_GLOBAL_CACHE
PyObject* global_name::refresh(uint64_t now) noexcept {
    value_ = nullptr;
    if (CSDK_UNLIKELY(!state.module)) return not_initialised();
    PyObject* v = PyDict_GetItemWithError(state.dict, name_);
    if (!v && !PyErr_Occurred()) v = PyDict_GetItemWithError(state.builtins, name_);
    if (!v) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name_);
        return nullptr;
    }
    value_ = v;
    stamp_ = now;
    exact_ = false;
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long n = PyLong_AsLongAndOverflow(v, &overflow);
        if (!overflow && !(n == -1 && PyErr_Occurred())) {
            number_ = n;
            exact_ = true;
        }
        PyErr_Clear();
    }
    return v;
}
#endif

// A function left over from an import that failed: its namespace is no module's. Every name is
// looked up again (see forget()), so it ends up here rather than at a stale value.
CSDK_COLD PyObject* global_name::not_initialised() noexcept {
    PyErr_SetString(PyExc_ImportError, "c_sdk failed to initialise: import it again");
    return nullptr;
}

namespace globals {
global_name success{"CSDK_OPERATE_SUCCESS"};
global_name is_py2{"IS_PY2"};
global_name handler{"f"};
global_name strerror{"py_vqi_strerror"};
global_name logger{"vqsdklogger"};
global_name platform{"platform"};

int init() noexcept {
    for (global_name* g : {&success, &is_py2, &handler, &strerror, &logger, &platform})
        if (g->init() < 0) return -1;
    return 0;
}

void forget() noexcept {
    for (global_name* g : {&success, &is_py2, &handler, &strerror, &logger, &platform}) g->forget();
}
}  // namespace globals

}  // namespace csdk
