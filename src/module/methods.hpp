// Builtin function objects of module c_sdk: made from method definitions that live as long as
// the process, with "c_sdk" as __module__ and no bound object (__self__ is None).
#pragma once
#include <Python.h>

namespace csdk {

// A binding as called through adapt_to_python3 while IS_PY2 is False: exact str arguments become
// ASCII bytes, then the binding runs. Returns false, with nothing raised and nothing called, for
// any call it does not take (the wrapper then goes its general way); otherwise true with *result.
using adapted_entry = bool (*)(PyObject* const* args, Py_ssize_t nargs, PyObject* kwargs, PyObject** result) noexcept;

// A new builtin function object for `def`.
PyObject* new_builtin(PyMethodDef* def) noexcept;

// A method definition from the process-wide pool of the module's bindings (null when full).
PyMethodDef* new_binding_def() noexcept;

// The method definition behind `func` when it is one of the module's binding builtins, else null.
// The wrapper uses it to call a decorated binding's entry without another trip through the
// interpreter's call machinery.
const PyMethodDef* own_builtin_entry(PyObject* func) noexcept;

// The adapted entry recorded for a binding's method definition (null: none).
void set_binding_adapted(const PyMethodDef* def, adapted_entry entry) noexcept;
adapted_entry binding_adapted(const PyMethodDef* def) noexcept;

inline PyCFunctionWithKeywords method_with_keywords(const PyMethodDef* ml) noexcept {
    return reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(ml->ml_meth));
}

inline PyCFunction as_method(PyCFunctionWithKeywords f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace csdk

namespace csdk {

// "name(signature)\n--\n\n" followed by `doc` (may be null): the form from which the interpreter
// takes a builtin's __text_signature__ and __doc__. Allocated once and kept for the process.
const char* make_doc(const char* name, const char* signature, const char* doc) noexcept;

}  // namespace csdk

namespace csdk {
// Forgets the binding definitions before the exec step fills them again.
void reset_binding_defs() noexcept;
}  // namespace csdk
