#include "records/function.hpp"

#include <cstddef>
#include <initializer_list>

#include "module/compat.hpp"
#include "module/globals.hpp"
#include "module/ref.hpp"

namespace csdk::records {

namespace signatures {
signature self{"(self)", 1, {"self"}, {}};
signature self_data{"(self, data)", 2, {"self", "data"}, {}};
signature self_item{"(self, item)", 2, {"self", "item"}, {}};
signature self_key{"(self, key)", 2, {"self", "key"}, {}};
signature self_value{"(self, value)", 2, {"self", "value"}, {}};
signature self_item_value{"(self, item, value)", 3, {"self", "item", "value"}, {}};
}  // namespace signatures

PyTypeObject* function_type = nullptr;

bool reject_self_only(function_object* fn, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (kwnames && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", fn->where.name);
        return true;
    }
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", fn->where.name, nargs);
        return true;
    }
    return false;
}

namespace {

function_object* self_of(PyObject* o) noexcept { return as_function(o); }

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(self_of(self)->cls);
    return 0;
}

// No tp_clear: a function only refers back to its class, and clearing the class's namespace
// breaks that cycle; its fields stay valid for as long as it lives.
void function_dealloc(PyObject* self) {
    function_object* fn = self_of(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_XDECREF(fn->cls);
    Py_XDECREF(fn->key);
    Py_XDECREF(fn->name);
    Py_XDECREF(fn->qualname);
    Py_XDECREF(fn->where.code);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", self_of(self)->qualname, self);
}

// Like a Python function: through an instance a bound method, through the class the function.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(self_of(self)->name); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(self_of(self)->qualname); }
PyObject* get_module(PyObject*, void*) { return Py_NewRef(state_name()); }
PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_text_signature(PyObject* self, void*) { return PyUnicode_FromString(self_of(self)->sig->text); }

// Pickled (and copied) by reference, as functions are: the name under which the module holds it.
PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(self_of(self)->qualname); }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", compat::member_ssize, offsetof(function_object, vectorcall), compat::member_readonly,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_type_def = {
    "c_sdk.record_function",
    sizeof(function_object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

}  // namespace

int init_functions() noexcept {
    for (signature* sig : {&signatures::self, &signatures::self_data, &signatures::self_item, &signatures::self_key,
                           &signatures::self_value, &signatures::self_item_value}) {
        for (Py_ssize_t i = 0; i < sig->count; ++i)
            if (!sig->names[i] && !(sig->names[i] = PyUnicode_InternFromString(sig->spelled[i]))) return -1;
    }
    if (!function_type && !(function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_type_def))))
        return -1;
    return 0;
}

PyObject* new_function(const char* class_name, PyObject* name, const signature& sig, vectorcallfunc call,
                       record_class* owner, PyObject* key) noexcept {
    ref qualname = ref::steal(PyUnicode_FromFormat("%s.%U", class_name, name));
    if (!qualname) return nullptr;
    const char* message_name = PyUnicode_AsUTF8(name);
    const char* entry = PyUnicode_AsUTF8(qualname.get());
    if (!message_name || !entry) return nullptr;
    function_object* fn = PyObject_GC_New(function_object, function_type);
    if (!fn) return nullptr;
    fn->vectorcall = call;
    fn->sig = &sig;
    fn->owner = owner;
    fn->cls = nullptr;
    fn->key = Py_XNewRef(key);
    fn->name = Py_NewRef(name);
    fn->qualname = qualname.release();
    fn->where = site{message_name, entry};
    PyObject_GC_Track(fn);
    return reinterpret_cast<PyObject*>(fn);
}

}  // namespace csdk::records
