// The function objects of the record classes' methods and property accessors.
//
// A builtin function object stored in a class does not bind to instances, so the records use a
// small function type of their own: called through vectorcall, bound like a Python function
// (through an instance a bound method, through the class the function itself), and flagged as a
// method descriptor so that the interpreter's slot dispatch and method calls pass the instance as
// the first argument without making a bound method first.
#pragma once
#include <Python.h>

#include "module/errors.hpp"

namespace csdk::records {

struct record_class;

// The parameters of a method, the instance first.
struct signature {
    const char* text;           // "(self, item)": the __text_signature__
    Py_ssize_t count;           // number of parameters, self included
    const char* spelled[3];     // their names
    PyObject* names[3];         // the same, interned (init_functions)
};

namespace signatures {
extern signature self;             // (self)
extern signature self_data;        // (self, data)
extern signature self_item;        // (self, item)
extern signature self_key;         // (self, key)
extern signature self_value;       // (self, value)
extern signature self_item_value;  // (self, item, value)
}  // namespace signatures

struct function_object {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const signature* sig;
    record_class* owner;  // state shared by the functions of one class (lives for the process)
    PyObject* cls;        // the class defining the function; null until that class exists
    PyObject* key;        // accessors: the mapping key (the property name); else null
    PyObject* name;       // __name__
    PyObject* qualname;   // __qualname__: "Class.name"
    site where;           // name: __name__ for messages; entry: __qualname__ for tracebacks
};

// The body of a method: `args` holds exactly the method's parameters, the instance first.
using body_fn = PyObject* (*)(function_object*, PyObject* const* args);

extern PyTypeObject* function_type;

// Makes the function type (once per process) and interns the parameter names.
int init_functions() noexcept;

// A new function `name` (interned) of the class named `class_name`, entered through `call`
// (one of the entries below). `key` (borrowed, may be null) is kept for the body.
PyObject* new_function(const char* class_name, PyObject* name, const signature& sig, vectorcallfunc call,
                       record_class* owner, PyObject* key) noexcept;

inline function_object* as_function(PyObject* o) noexcept { return reinterpret_cast<function_object*>(o); }

// Raises the argument error of a self-only method called with `nargs` positionals and
// `kwnames`; false when the call is acceptable after all (an empty keyword tuple).
CSDK_COLD bool reject_self_only(function_object* fn, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// ---- entries ---------------------------------------------------------------------------------
// Every error leaving a method gets the method's traceback entry.

// Methods taking only the instance: exactly one positional argument, no keywords.
template <body_fn Body>
PyObject* call_self_only(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    function_object* fn = as_function(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (CSDK_UNLIKELY(nargs != 1 || kwnames != nullptr) && reject_self_only(fn, nargs, kwnames))
        return fail(fn->where);
    PyObject* result = Body(fn, args);
    return CSDK_LIKELY(result != nullptr) ? result : fail(fn->where);
}

// Methods of N parameters, each given by position or keyword, none with a default.
template <Py_ssize_t N, body_fn Body>
PyObject* call_parameters(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    function_object* fn = as_function(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* result;
    if (CSDK_LIKELY(nargs == N && kwnames == nullptr)) {
        result = Body(fn, args);
    } else {
        PyObject* bound[N];
        if (!bind_parameters_vector(fn->where, args, nargs, kwnames, fn->sig->names, N, bound))
            return fail(fn->where);
        result = Body(fn, bound);
    }
    return CSDK_LIKELY(result != nullptr) ? result : fail(fn->where);
}

}  // namespace csdk::records
