// The module's process-wide state, and the module globals that native code reads by name.
//
// Native code looks a global up the way Python code in the module would: the module namespace,
// then the builtins, else NameError. The value is remembered per name while neither namespace
// changes (see compat.hpp for how a change is noticed), so the hot paths pay two loads and a
// compare instead of two dict walks, and a rebinding still takes effect at the next call.
#pragma once
#include <Python.h>

#include <cstdint>

#include "compat.hpp"
#include "errors.hpp"
#include "ref.hpp"

namespace csdk {

struct module_state {
    PyObject* module = nullptr;    // one strong reference; null until the exec step starts
    PyObject* dict = nullptr;      // the module namespace (borrowed from `module`)
    PyObject* builtins = nullptr;  // the builtins namespace (strong)
    int64_t interpreter = -1;      // the interpreter that first created the module
};
extern module_state state;

// "c_sdk" as a str (for frames made before the namespace exists).
PyObject* state_name() noexcept;

// Free-threaded, another thread can rebind a global at any instant and free the value a borrowed
// reference points to: there every lookup is a strong reference taken from the namespace itself,
// and nothing is remembered.
#ifdef Py_GIL_DISABLED
#  define CSDK_GLOBAL_CACHE 0
#else
#  define CSDK_GLOBAL_CACHE 1
#endif

class global_name {
public:
    constexpr explicit global_name(const char* text) noexcept : text_(text) {}

    // A strong reference to the current value, or null with NameError set.
#if CSDK_GLOBAL_CACHE
    ref hold() noexcept { return ref::borrow(get()); }
#else
    ref hold() noexcept { return ref::steal(lookup()); }
#endif
    // A new reference to the current value looked up in the namespaces (no remembering), or null
    // with NameError set.
    PyObject* lookup() noexcept;

#if CSDK_GLOBAL_CACHE
    // Borrowed reference to the current value, or null with NameError set.
    PyObject* get() noexcept { return get(compat::namespace_stamp(state.dict, state.builtins)); }
    // The same with the stamp already taken (several lookups at one point of a call).
    PyObject* get(uint64_t now) noexcept {
        if (CSDK_LIKELY(value_ != nullptr && stamp_ == now)) return value_;
        return refresh(now);
    }
#endif
    PyObject* name() const noexcept { return name_; }
    int init() noexcept;  // interns the name (exec step)
    void forget() noexcept { value_ = nullptr; }  // the next get() looks the name up

#if CSDK_GLOBAL_CACHE

    // Whether the value (as of the last get()) is an exact int that fits a C long, and that
    // number: comparing a status with an exact int by Python equality is comparing numbers.
    bool exact() const noexcept { return exact_; }
    long number() const noexcept { return number_; }
#endif

private:
    CSDK_COLD PyObject* refresh(uint64_t now) noexcept;
    CSDK_COLD static PyObject* not_initialised() noexcept;

    const char* text_;
    PyObject* name_ = nullptr;
    PyObject* value_ = nullptr;  // borrowed from a namespace while `stamp_` holds
    uint64_t stamp_ = 0;
    long number_ = 0;
    bool exact_ = false;
};

namespace globals {
extern global_name success;       // CSDK_OPERATE_SUCCESS
extern global_name is_py2;        // IS_PY2
extern global_name handler;       // f
extern global_name strerror;      // py_vqi_strerror
extern global_name logger;        // vqsdklogger
extern global_name platform;      // platform
int init() noexcept;
void forget() noexcept;  // after a failed exec step
}  // namespace globals

// The truth value of an object, asked of the object only when it is none of True, False, None.
inline int truth_of(PyObject* v) noexcept {
    if (CSDK_LIKELY(v == Py_False)) return 0;
    if (v == Py_True) return 1;
    return PyObject_IsTrue(v);
}

#if !CSDK_GLOBAL_CACHE
inline int is_py2(uint64_t = 0) noexcept {
    ref v = globals::is_py2.hold();
    return v ? truth_of(v.get()) : -1;
}
#else
// Truth value of IS_PY2 (looked up as above); -1 with an exception set.
inline int is_py2(uint64_t now) noexcept {
    PyObject* v = globals::is_py2.get(now);
    if (CSDK_UNLIKELY(!v)) return -1;
    if (CSDK_LIKELY(v == Py_False)) return 0;
    if (v == Py_True) return 1;
    // Its truth test may run Python code that rebinds IS_PY2, dropping the namespace's reference.
    Py_INCREF(v);
    int truth = PyObject_IsTrue(v);
    Py_DECREF(v);
    return truth;
}
inline int is_py2() noexcept { return is_py2(compat::namespace_stamp(state.dict, state.builtins)); }
#endif

}  // namespace csdk
