// Error paths shared by every function of the module: traceback entries and the argument-binding
// messages. Everything here is cold: the hot paths only branch to it.
#pragma once
#include <Python.h>

#define CSDK_COLD [[gnu::cold, gnu::noinline]]
#define CSDK_LIKELY(x) __builtin_expect(!!(x), 1)
#define CSDK_UNLIKELY(x) __builtin_expect(!!(x), 0)

namespace csdk {

// Where an exception leaves a function of the module: the name used in argument-binding messages
// ("py_vqi_get_orders", "wrap") and the traceback entry ("c_sdk." followed by `entry`).
struct site {
    const char* name = nullptr;   // message name
    const char* entry = nullptr;  // traceback entry after "c_sdk."; defaults to `name`
    bool prefixed = true;         // false: `entry` is the whole text ("init c_sdk")
    bool in_module = true;        // the builtin's __module__ is "c_sdk" (the interpreter's messages
                                  // then read "c_sdk.<name>()"); false for the exposed "wrap"s
    PyObject* code = nullptr;     // cached empty code object for the traceback entry
};

// Adds the site's traceback entry to the pending exception (a frame over an empty code object,
// through the public frame and traceback calls). Never fails: if even that runs out of memory the
// exception stays as it was.
CSDK_COLD void add_traceback(site& s) noexcept;

// add_traceback, then nullptr / -1: for `return fail(s);` in functions returning objects / ints.
CSDK_COLD PyObject* fail(site& s) noexcept;
CSDK_COLD int fail_int(site& s) noexcept;

// "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
CSDK_COLD void raise_argcount(const char* name, const char* which, Py_ssize_t expected, Py_ssize_t given) noexcept;

// "<c_sdk.><name>() takes no arguments (N given)": what the interpreter says for a METH_NOARGS
// builtin, for the bindings without a parameter, which are METH_FASTCALL (see shapes.hpp).
CSDK_COLD PyObject* raise_no_arguments(const site& s, Py_ssize_t given) noexcept;

// Binds positional arguments and keywords to `n` required parameters named by `names` (interned
// str), the way the module's multi-argument functions do. `out` receives the positional
// arguments borrowed and, on success, the keyword values as new references (the caller releases
// out[nargs..n)): a fresh keyword dict may be their only owner. `args` is the argument vector,
// `kwargs` a dict or null. Messages name `s.name`.
bool bind_parameters(site& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwargs,
                     PyObject* const* names, Py_ssize_t n, PyObject** out) noexcept;

// Binds the keywords of `kwargs` to parameters nargs..n-1 in one pass over the dict when each
// keyword is one of the interned `names` itself (keywords written in source are) and the call
// names every remaining parameter once; false otherwise, with nothing raised.
bool bind_keywords_by_identity(PyObject* kwargs, Py_ssize_t nargs, PyObject* const* names, Py_ssize_t n,
                               PyObject** out) noexcept;

// The same over a vectorcall argument vector with a kwnames tuple (values follow the positionals).
bool bind_parameters_vector(site& s, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            PyObject* const* names, Py_ssize_t n, PyObject** out) noexcept;

}  // namespace csdk
