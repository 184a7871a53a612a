// Everything that differs between the supported CPython versions (3.10 to 3.13) lives here, so
// the rest of the module reads the same on every version. Only public API is used: nothing here
// needs a header that left the public include directory by 3.13.
#pragma once
#include <Python.h>
#include <frameobject.h>
#include <cstdint>
#if PY_VERSION_HEX < 0x030C0000
#  include <structmember.h>
#endif

#if PY_VERSION_HEX < 0x030A0000
#  error "c_sdk needs CPython 3.10 or newer"
#endif

namespace csdk::compat {

// ---- namespace stamps ----------------------------------------------------------------------
// A stamp changes whenever the module namespace or the builtins namespace changes, so a value
// looked up in them may be remembered while the stamp holds.
//
// Up to 3.11 every dict carries a version tag that grows with each change (all tags come from one
// increasing counter), so the sum of the two tags is a stamp. From 3.12 the tag is deprecated
// (and gone in 3.14); there a dict watcher bumps a counter of our own instead.
#if PY_VERSION_HEX >= 0x030C0000
#  define CSDK_DICT_WATCHERS 1
#else
#  define CSDK_DICT_WATCHERS 0
#endif

#if CSDK_DICT_WATCHERS
extern uint64_t namespace_generation;
inline uint64_t namespace_stamp(PyObject*, PyObject*) noexcept { return namespace_generation; }
#else
inline uint64_t namespace_stamp(PyObject* globals, PyObject* builtins) noexcept {
    return reinterpret_cast<PyDictObject*>(globals)->ma_version_tag +
           reinterpret_cast<PyDictObject*>(builtins)->ma_version_tag;
}
#endif

// Start watching the two namespaces (no-op where version tags do the job).
int watch_namespaces(PyObject* globals, PyObject* builtins);

// ---- exceptions ----------------------------------------------------------------------------
// The pending exception as one owned object, and back (the triple API before 3.12).
struct saved_exception {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = nullptr;
    void fetch() noexcept { exc = PyErr_GetRaisedException(); }
    void restore_copy() const noexcept { Py_XINCREF(exc); PyErr_SetRaisedException(exc); }
    ~saved_exception() { Py_XDECREF(exc); }
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    void fetch() noexcept { PyErr_Fetch(&type, &value, &tb); }
    void restore_copy() const noexcept {
        Py_XINCREF(type); Py_XINCREF(value); Py_XINCREF(tb);
        PyErr_Restore(type, value, tb);
    }
    ~saved_exception() { Py_XDECREF(type); Py_XDECREF(value); Py_XDECREF(tb); }
#endif
    saved_exception() = default;
    saved_exception(const saved_exception&) = delete;
    saved_exception& operator=(const saved_exception&) = delete;
};

// ---- types ----------------------------------------------------------------------------------
// A type's own namespace as a new reference (null, without an exception, if it has none). From
// 3.12 the static builtin types keep theirs per interpreter, out of tp_dict.
inline PyObject* type_dict(PyTypeObject* type) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyType_GetDict(type);
#else
    return Py_XNewRef(type->tp_dict);
#endif
}

// Member kinds and flags of PyMemberDef (public under Py_ names from 3.12, structmember.h before).
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr int member_object_ex = Py_T_OBJECT_EX;
inline constexpr int member_ssize = Py_T_PYSSIZET;
inline constexpr int member_readonly = Py_READONLY;
#else
inline constexpr int member_object_ex = T_OBJECT_EX;
inline constexpr int member_ssize = T_PYSSIZET;
inline constexpr int member_readonly = READONLY;
#endif

// Makes the pending exception one normalized instance carrying its traceback, so that several
// consumers (the standard printing, then the unraisable hook) see the very same object. From 3.12
// on a raised exception always is one; before, an error set from C stays a (type, message) pair
// until something normalizes it, and each consumer would make its own.
inline void normalize_pending() noexcept {
#if PY_VERSION_HEX < 0x030C0000
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    PyErr_Restore(type, value, tb);
#endif
}

// ---- small helpers that changed names --------------------------------------------------------
inline int64_t interpreter_id() noexcept {
    return PyInterpreterState_GetID(PyInterpreterState_Get());
}

}  // namespace csdk::compat
