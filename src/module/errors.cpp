#include "errors.hpp"

#include "compat.hpp"
#include "globals.hpp"
#include "ref.hpp"

namespace csdk {

namespace {

// The file name of every traceback entry the module adds. Angle brackets keep linecache from
// looking for a source file.
constexpr const char* kTracebackFile = "<c_sdk>";

PyObject* traceback_globals() noexcept {
    if (state.dict) return state.dict;
    // Before the namespace exists (an import that fails early) the frame gets a dict of its own.
    static PyObject* fallback = nullptr;
    if (!fallback) {
        fallback = PyDict_New();
        PyObject* name = state_name();
        if (fallback && (!name || PyDict_SetItemString(fallback, "__name__", name) < 0)) {
            Py_CLEAR(fallback);
        }
    }
    return fallback;
}

PyObject* code_for(site& s) noexcept {
    return compat::once(s.code, [&s]() -> PyObject* {
        const char* entry = s.entry ? s.entry : s.name;
        ref text = ref::steal(s.prefixed ? PyUnicode_FromFormat("c_sdk.%s", entry) : PyUnicode_FromString(entry));
        if (!text) return nullptr;
        const char* utf8 = PyUnicode_AsUTF8(text.get());
        if (!utf8) return nullptr;
        return reinterpret_cast<PyObject*>(PyCode_NewEmpty(kTracebackFile, utf8, 0));
    });
}

}  // namespace

void add_traceback(site& s) noexcept {
    if (!PyErr_Occurred()) return;
    PyObject* code;
    PyObject* globals;
    {
        // Building the code object must not run with the exception pending.
        compat::saved_exception pending;
        pending.fetch();
        code = code_for(s);
        globals = traceback_globals();
        PyErr_Clear();
        pending.restore_copy();
    }
    if (!code || !globals) return;
    compat::saved_exception pending;
    pending.fetch();
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr);
    PyErr_Clear();
    pending.restore_copy();
    if (!frame) return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

PyObject* fail(site& s) noexcept {
    add_traceback(s);
    return nullptr;
}

int fail_int(site& s) noexcept {
    add_traceback(s);
    return -1;
}

PyObject* raise_no_arguments(const site& s, Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%s%s() takes no arguments (%zd given)", s.in_module ? "c_sdk." : "", s.name, given);
    return nullptr;
}

void raise_argcount(const char* name, const char* which, Py_ssize_t expected, Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 name, which, expected, expected == 1 ? "" : "s", given);
}

namespace {

// Index of `key` among the parameter names, or -1. Identity first (keywords written in source
// are interned), then string equality.
Py_ssize_t param_index(PyObject* key, PyObject* const* names, Py_ssize_t n) noexcept {
    for (Py_ssize_t i = 0; i < n; ++i)
        if (names[i] == key) return i;
    if (!PyUnicode_Check(key)) return -1;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_Compare(names[i], key) == 0) return i;
    return -1;
}

// Raises for a keyword that binding could not place. Always returns false.
CSDK_COLD bool reject_keyword(site& s, PyObject* key, Py_ssize_t nargs, PyObject* const* names, Py_ssize_t n) noexcept {
    Py_ssize_t idx = param_index(key, names, n);
    if (idx >= 0 && idx < nargs) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s.name, key);
    } else if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s.name);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s.name, key);
    }
    return false;
}

}  // namespace

bool bind_keywords_by_identity(PyObject* kwargs, Py_ssize_t nargs, PyObject* const* names, Py_ssize_t n,
                               PyObject** out) noexcept {
    for (Py_ssize_t i = nargs; i < n; ++i) out[i] = nullptr;
    Py_ssize_t pos = 0, guess = nargs;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_ssize_t i = guess++;
        if (CSDK_UNLIKELY(i >= n || names[i] != key)) {
            for (i = nargs; i < n && names[i] != key; ++i) {
            }
            if (i == n) return false;
        }
        if (CSDK_UNLIKELY(out[i] != nullptr)) return false;
        out[i] = value;
    }
    return true;
}

bool bind_parameters(site& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwargs,
                     PyObject* const* names, Py_ssize_t n, PyObject** out) noexcept {
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nargs > n || (nkw == 0 && nargs != n)) {
        raise_argcount(s.name, "exactly", n, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (nkw == 0) return true;
    // The common call first: every keyword an interned parameter name, each remaining parameter
    // named once. Anything else binds below, with the same values and the exact errors.
    if (CSDK_LIKELY(nargs + nkw == n) && bind_keywords_by_identity(kwargs, nargs, names, n, out)) {
        for (Py_ssize_t i = nargs; i < n; ++i) Py_INCREF(out[i]);
        return true;
    }
    // A lookup may compare keys (a str subclass's __eq__), which can change the dict: each value
    // is held as soon as it is found.
    Py_ssize_t used = 0;
    auto drop = [&] {
        for (Py_ssize_t j = nargs; j < nargs + used; ++j) Py_DECREF(out[j]);
    };
    for (Py_ssize_t i = nargs; i < n; ++i) {
        PyObject* v = PyDict_GetItemWithError(kwargs, names[i]);
        if (!v) {
            if (!PyErr_Occurred()) raise_argcount(s.name, "exactly", n, i);
            drop();
            return false;
        }
        out[i] = Py_NewRef(v);
        ++used;
    }
    if (used == nkw) return true;
    drop();
    // Some keyword was not used: report the first offender in the caller's order.
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        Py_ssize_t idx = param_index(key, names, n);
        if (idx < nargs) return reject_keyword(s, key, nargs, names, n);
    }
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s.name);
    return false;
}

bool bind_parameters_vector(site& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            PyObject* const* names, Py_ssize_t n, PyObject** out) noexcept {
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > n || (nkw == 0 && nargs != n)) {
        raise_argcount(s.name, "exactly", n, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (nkw == 0) return true;
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t used = 0;
    for (Py_ssize_t i = nargs; i < n; ++i) {
        Py_ssize_t j = 0;
        for (; j < nkw; ++j)
            if (PyTuple_GET_ITEM(kwnames, j) == names[i]) break;
        if (j == nkw) {
            for (j = 0; j < nkw; ++j) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, j);
                if (PyUnicode_Check(key) && PyUnicode_Compare(key, names[i]) == 0) break;
            }
        }
        if (j == nkw) {
            raise_argcount(s.name, "exactly", n, i);
            return false;
        }
        out[i] = kwvalues[j];
        ++used;
    }
    if (used == nkw) return true;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        Py_ssize_t idx = param_index(key, names, n);
        if (idx < nargs) return reject_keyword(s, key, nargs, names, n);
    }
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s.name);
    return false;
}

}  // namespace csdk
