// adapt_to_python3 and its wrapper objects, the status helpers and the platform tests.
#include "module/helpers.hpp"

#include <iterator>

#include "module/errors.hpp"
#include "module/globals.hpp"
#include "module/methods.hpp"
#include "module/ref.hpp"

namespace csdk::helpers {
namespace {

// Interned strings of the helpers' algorithms.
struct strings {
    PyObject *encode, *ascii, *decode, *utf8, *debug, *format, *uname, *lower, *windows, *linux_;
    PyObject *with_name, *without_name, *empty;
};
strings s;

int init_strings() noexcept {
    struct { PyObject** slot; const char* text; } table[] = {
        {&s.encode, "encode"}, {&s.ascii, "ascii"}, {&s.decode, "decode"}, {&s.utf8, "utf8"},
        {&s.debug, "debug"}, {&s.format, "format"}, {&s.uname, "uname"}, {&s.lower, "lower"},
        {&s.windows, "windows"}, {&s.linux_, "linux"},
        {&s.with_name, "invoke c fun={} error code={}, error info={}"},
        {&s.without_name, "invoke c fun error code={}, error info={}"}, {&s.empty, ""},
    };
    for (auto& e : table)
        if (!*e.slot && !(*e.slot = PyUnicode_InternFromString(e.text))) return -1;
    return 0;
}

// ---- wrapper -------------------------------------------------------------------------------------

site wrapper_site{"wrapper", "adapt_to_python3.wrapper"};

struct wrapper_object {
    PyObject_HEAD
    PyObject* func;           // the closure cell: what adapt_to_python3 received
    const PyMethodDef* direct;  // func's entry when func is one of this module's own builtins
    adapted_entry adapted;      // and its adapted entry
};

// text.encode("ascii"); an exact str needs no attribute lookup to get the same bytes or error.
PyObject* encode_ascii(PyObject* text) noexcept {
    if (CSDK_LIKELY(PyUnicode_CheckExact(text))) return PyUnicode_AsASCIIString(text);
    return PyObject_CallMethodOneArg(text, s.encode, s.ascii);
}

// func(*args, **kwargs). For the module's own builtins the entry is called directly with what the
// interpreter would have passed it; any other call shape goes through the interpreter, which
// then reports its own argument errors.
PyObject* forward(wrapper_object* w, PyObject* args, PyObject* kwargs) noexcept {
    if (kwargs && PyDict_GET_SIZE(kwargs) == 0) kwargs = nullptr;
    if (const PyMethodDef* ml = w->direct) {
        Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        switch (ml->ml_flags) {
            case METH_O:
                if (nargs == 1 && !kwargs) return ml->ml_meth(nullptr, PyTuple_GET_ITEM(args, 0));
                break;
            case METH_FASTCALL:
                if (nargs == 0 && !kwargs)
                    return reinterpret_cast<_PyCFunctionFast>(reinterpret_cast<void (*)()>(ml->ml_meth))(nullptr, nullptr, 0);
                break;
            case METH_VARARGS | METH_KEYWORDS:
                return method_with_keywords(ml)(nullptr, args, kwargs);
        }
    }
    return PyObject_Call(w->func, args, kwargs);
}

PyObject* wrapper_call_inner(wrapper_object* w, PyObject* args, PyObject* kwargs) noexcept {
    // One of the module's own bindings with IS_PY2 exactly False: the binding adapts its own
    // arguments, with no new tuple or dict, when the call is the plain kind.
    if (w->adapted) {
#if CSDK_GLOBAL_CACHE
        PyObject* py2 = globals::is_py2.get();
#else
        ref held = globals::is_py2.hold();  // False is immortal: its identity outlives the reference
        PyObject* py2 = held.get();
#endif
        if (CSDK_LIKELY(py2 == Py_False)) {
            PyObject* result;
            if (w->adapted(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), kwargs, &result)) return result;
        } else if (!py2) {
            PyErr_Clear();  // raised again below, after the keyword check that comes first
        }
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    if (kwargs) {
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (CSDK_UNLIKELY(!PyUnicode_Check(key))) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", "wrapper");
                return nullptr;
            }
        }
    }
    int py2 = is_py2();
    if (py2 < 0) return nullptr;
    // The keyword dict handed on is always our own: the caller's is never changed.
    ref own_kwargs;
    if (kwargs && PyDict_GET_SIZE(kwargs) && !w->direct) {
        own_kwargs = ref::steal(PyDict_Copy(kwargs));
        if (!own_kwargs) return nullptr;
        kwargs = own_kwargs.get();
    }
    if (py2) return forward(w, args, kwargs);

    // Every str argument (subclasses included) becomes bytes; anything else passes untouched,
    // text inside containers included.
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    ref adapted;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* a = PyTuple_GET_ITEM(args, i);
        if (!PyUnicode_Check(a)) {
            if (adapted) PyTuple_SET_ITEM(adapted.get(), i, Py_NewRef(a));
            continue;
        }
        if (!adapted) {
            adapted = ref::steal(PyTuple_New(n));
            if (!adapted) return nullptr;
            for (Py_ssize_t j = 0; j < i; ++j)
                PyTuple_SET_ITEM(adapted.get(), j, Py_NewRef(PyTuple_GET_ITEM(args, j)));
        }
        PyObject* encoded = encode_ascii(a);
        if (!encoded) return nullptr;  // a partly filled tuple releases cleanly
        PyTuple_SET_ITEM(adapted.get(), i, encoded);
    }
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(value)) continue;
            if (!own_kwargs) {
                own_kwargs = ref::steal(PyDict_Copy(kwargs));
                if (!own_kwargs) return nullptr;
            }
            // A str subclass's encode() is Python code that may empty the dict under the loop.
            ref held_key = ref::borrow(key), held_value = ref::borrow(value);
            ref encoded = ref::steal(encode_ascii(held_value.get()));
            if (!encoded || PyDict_SetItem(own_kwargs.get(), held_key.get(), encoded.get()) < 0) return nullptr;
        }
        if (own_kwargs) kwargs = own_kwargs.get();
    }
    return forward(w, adapted ? adapted.get() : args, kwargs);
}

PyObject* wrapper_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* r = wrapper_call_inner(reinterpret_cast<wrapper_object*>(self), args, kwargs);
    if (CSDK_UNLIKELY(!r)) return fail(wrapper_site);
    return r;
}

int wrapper_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<wrapper_object*>(self)->func);
    return 0;
}

int wrapper_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<wrapper_object*>(self)->func);
    return 0;
}

void wrapper_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    wrapper_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* wrapper_repr(PyObject* self) {
    PyObject* func = reinterpret_cast<wrapper_object*>(self)->func;
    if (!func) return PyUnicode_FromString("<adapt_to_python3 wrapper>");
    return PyUnicode_FromFormat("<adapt_to_python3 wrapper of %R>", func);
}

// Like a Python function, a wrapper stored on a class binds to the instance.
PyObject* wrapper_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* get_name(PyObject*, void*) { return PyUnicode_FromString("wrapper"); }
PyObject* get_qualname(PyObject*, void*) { return PyUnicode_FromString("adapt_to_python3.<locals>.wrapper"); }
PyObject* get_module(PyObject*, void*) { return PyUnicode_FromString("c_sdk"); }
PyObject* get_doc(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_wrapped(PyObject* self, void*) {
    PyObject* func = reinterpret_cast<wrapper_object*>(self)->func;
    return Py_NewRef(func ? func : Py_None);
}

PyGetSetDef wrapper_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__wrapped__", get_wrapped, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot wrapper_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(wrapper_repr)},
    {Py_tp_call, reinterpret_cast<void*>(wrapper_call)},
    {Py_tp_traverse, reinterpret_cast<void*>(wrapper_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(wrapper_clear)},
    {Py_tp_getset, wrapper_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(wrapper_descr_get)},
    {0, nullptr},
};

PyType_Spec wrapper_spec = {
    "c_sdk.wrapper",
    sizeof(wrapper_object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    wrapper_slots,
};

PyTypeObject* wrapper_type = nullptr;  // made once per process

// ---- the helper builtins ---------------------------------------------------------------------------

site adapt_site, ok_site, fail_site, windows_site, linux_site;

PyObject* adapt_to_python3(PyObject*, PyObject* func) {
    PyObject* w = adapt(func);
    return w ? w : fail(adapt_site);
}

int truth(PyObject* o) noexcept {
    if (o == Py_True) return 1;
    if (o == Py_False || o == Py_None) return 0;
    return PyObject_IsTrue(o);
}

// The globals below are held while they are used: the comparisons, calls and attribute lookups
// run Python code that may delete or rebind the name, which may be their only reference.
#if CSDK_GLOBAL_CACHE
// An exact int that fits a C long, as that number (false for anything else, no exception left).
inline bool small_int(PyObject* o, long& n) noexcept {
    if (!PyLong_CheckExact(o)) return false;
#  if PY_VERSION_HEX >= 0x030C0000
    if (CSDK_LIKELY(PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o)))) {
        n = static_cast<long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o)));
        return true;
    }
#  endif
    int overflow = 0;
    n = PyLong_AsLongAndOverflow(o, &overflow);
    if (overflow || (n == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    return true;
}
#endif

PyObject* c_status_ok(PyObject*, PyObject* status) {
#if CSDK_GLOBAL_CACHE
    // Two exact ints are equal when their numbers are: no comparison runs, nothing is held.
    long n;
    if (CSDK_LIKELY(small_int(status, n))) {
        if (CSDK_UNLIKELY(!globals::success.get())) return fail(ok_site);
        if (CSDK_LIKELY(globals::success.exact())) return PyBool_FromLong(n == globals::success.number());
    }
#endif
    ref success = globals::success.hold();
    if (!success) return fail(ok_site);
    PyObject* r = PyObject_RichCompare(status, success.get(), Py_EQ);
    return r ? r : fail(ok_site);
}

PyObject* status_fail(PyObject* status, PyObject* cfunname) noexcept {
    ref success = globals::success.hold();
    if (!success) return nullptr;
    ref isfail = ref::steal(PyObject_RichCompare(status, success.get(), Py_NE));
    if (!isfail) return nullptr;
    int failed = truth(isfail.get());
    if (failed <= 0) return failed < 0 ? nullptr : isfail.release();

    ref strerror = globals::strerror.hold();
    if (!strerror) return nullptr;
    ref raw = ref::steal(PyObject_CallOneArg(strerror.get(), status));
    if (!raw) return nullptr;
    ref info = ref::steal(PyObject_CallMethodOneArg(raw.get(), s.decode, s.utf8));
    if (!info) return nullptr;

    int named = truth(cfunname);
    if (named < 0) return nullptr;
    ref logger = globals::logger.hold();
    if (!logger) return nullptr;
    ref debug = ref::steal(PyObject_GetAttr(logger.get(), s.debug));
    if (!debug) return nullptr;
    ref message;
    if (named) {
        PyObject* args[] = {s.with_name, cfunname, status, info.get()};
        message = ref::steal(PyObject_VectorcallMethod(s.format, args, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    } else {
        PyObject* args[] = {s.without_name, status, info.get()};
        message = ref::steal(PyObject_VectorcallMethod(s.format, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    if (!message) return nullptr;
    ref logged = ref::steal(PyObject_CallOneArg(debug.get(), message.get()));
    if (!logged) return nullptr;
    return isfail.release();
}

PyObject* c_status_fail(PyObject*, PyObject* args, PyObject* kwargs) {
    // (status, cfunname='') by position or keyword.
    static PyObject* names[2];
    if (!compat::once(names[0], [] { return PyUnicode_InternFromString("status"); }) ||
        !compat::once(names[1], [] { return PyUnicode_InternFromString("cfunname"); }))
        return fail(fail_site);
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nargs > 2) {
        raise_argcount("c_status_fail", "at most", 2, nargs);
        return fail(fail_site);
    }
    // Held for the call: a keyword dict made for the call may be the only owner of its values,
    // and a lookup that compares keys (a str subclass's __eq__) may change it.
    ref bound[2] = {ref::borrow(nargs > 0 ? PyTuple_GET_ITEM(args, 0) : nullptr),
                    ref::borrow(nargs > 1 ? PyTuple_GET_ITEM(args, 1) : nullptr)};
    if (nkw) {
        Py_ssize_t used = 0;
        for (Py_ssize_t i = nargs; i < 2; ++i) {
            PyObject* v = PyDict_GetItemWithError(kwargs, names[i]);
            if (!v && PyErr_Occurred()) return fail(fail_site);
            if (v) { bound[i] = ref::borrow(v); ++used; }
        }
        if (used < nkw) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                bool is_status = key == names[0] || (PyUnicode_Check(key) && PyUnicode_Compare(key, names[0]) == 0);
                bool is_name = key == names[1] || (PyUnicode_Check(key) && PyUnicode_Compare(key, names[1]) == 0);
                if ((is_status && nargs > 0) || (is_name && nargs > 1)) {
                    PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "c_status_fail", key);
                    return fail(fail_site);
                }
                if (is_status || is_name) continue;
                if (!PyUnicode_Check(key))
                    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", "c_status_fail");
                else
                    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", "c_status_fail", key);
                return fail(fail_site);
            }
        }
    }
    if (!bound[0]) {
        raise_argcount("c_status_fail", "at least", 1, nargs);
        return fail(fail_site);
    }
    PyObject* r = status_fail(bound[0].get(), bound[1] ? bound[1].get() : s.empty);
    return r ? r : fail(fail_site);
}

PyObject* system_is(PyObject* expected) noexcept {
    ref platform = globals::platform.hold();
    if (!platform) return nullptr;
    ref uname = ref::steal(PyObject_GetAttr(platform.get(), s.uname));
    if (!uname) return nullptr;
    ref info = ref::steal(PyObject_CallNoArgs(uname.get()));
    if (!info) return nullptr;
    ref system = ref::steal(PySequence_GetItem(info.get(), 0));
    if (!system) return nullptr;
    ref lowered = ref::steal(PyObject_CallMethodNoArgs(system.get(), s.lower));
    if (!lowered) return nullptr;
    return PyObject_RichCompare(lowered.get(), expected, Py_EQ);
}

PyObject* is_windows(PyObject*, PyObject*) {
    PyObject* r = system_is(s.windows);
    return r ? r : fail(windows_site);
}

PyObject* is_linux(PyObject*, PyObject*) {
    PyObject* r = system_is(s.linux_);
    return r ? r : fail(linux_site);
}

PyMethodDef defs[] = {
    {"is_windows", is_windows, METH_NOARGS, "is_windows()\n--\n\n"},
    {"is_linux", is_linux, METH_NOARGS, "is_linux()\n--\n\n"},
    {"adapt_to_python3", adapt_to_python3, METH_O,
     "adapt_to_python3(func, /)\n--\n\n使 c_sdk 的函数同时兼容 python3 和 python2 的装饰器"},
    {"c_status_ok", c_status_ok, METH_O,
     "c_status_ok(status, /)\n--\n\n\n    c api 调用返回值status是否ok\n    "},
    {"c_status_fail", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(c_status_fail)),
     METH_VARARGS | METH_KEYWORDS, "c_status_fail(status, cfunname='')\n--\n\n\n    c api 调用返回值status是否fail\n    "},
};

}  // namespace

PyObject* adapt(PyObject* func) noexcept {
    auto* w = PyObject_GC_New(wrapper_object, wrapper_type);
    if (!w) return nullptr;
    w->func = Py_NewRef(func);
    w->direct = own_builtin_entry(func);
    w->adapted = w->direct ? binding_adapted(w->direct) : nullptr;
    PyObject_GC_Track(w);
    return reinterpret_cast<PyObject*>(w);
}

int add_to(PyObject* module) noexcept {
    if (init_strings() < 0) return -1;
    if (!wrapper_type &&
        !(wrapper_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&wrapper_spec))))
        return -1;
    site* sites[] = {&windows_site, &linux_site, &adapt_site, &ok_site, &fail_site};
    for (std::size_t i = 0; i < std::size(defs); ++i) {
        sites[i]->name = defs[i].ml_name;
        ref fn = ref::steal(new_builtin(&defs[i]));
        if (!fn || PyModule_AddObjectRef(module, defs[i].ml_name, fn.get()) < 0) return -1;
    }
    return 0;
}

}  // namespace csdk::helpers
