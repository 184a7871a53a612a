// The module definition and its two initialisation steps.
//
// c_sdk is a process-wide singleton: the create step records the first interpreter and refuses
// any other, and hands every later import the same module object; the exec step fills the
// namespace once, in one fixed order, and does nothing when run again on the same object.
#include <Python.h>

#include <cstdio>
#include <cstring>

#include "bindings/registry.hpp"
#include "module/compat.hpp"
#include "module/errors.hpp"
#include "module/exposed.hpp"
#include "module/globals.hpp"
#include "module/helpers.hpp"
#include "module/methods.hpp"
#include "module/sdk_section.hpp"
#include "module/ref.hpp"
#include "module/shutdown.hpp"
#include "records/records.hpp"

namespace csdk {
namespace {

site init_site{nullptr, "init c_sdk", false};

// The namespace of the last import that failed (strong), which state.dict still names.
PyObject* failed_namespace = nullptr;

// ---- create -----------------------------------------------------------------------------------

// Copies spec.<attr> to module.<name>; a missing attribute is skipped.
int copy_spec_attr(PyObject* spec, PyObject* module, const char* attr, const char* name, bool skip_none) noexcept {
    ref value = ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyObject_SetAttrString(module, name, value.get());
}

PyObject* create(PyObject* spec, PyModuleDef*) {
    // The module's state was made for an interpreter that is gone (an embedder finalized it and
    // made another, whose id is 0 again): none of it can serve the new one.
    if (shutdown::finalized()) {
        PyErr_SetString(PyExc_ImportError,
                        "c_sdk cannot be imported again after the interpreter that imported it was finalized "
                        "(Py_Finalize): import it in a new process");
        return nullptr;
    }
    int64_t id = compat::interpreter_id();
    if (id == -1 && PyErr_Occurred()) return nullptr;
    if (!compat::claim_interpreter(state.interpreter, id)) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);

    ref name = ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    ref module = ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    if (copy_spec_attr(spec, module.get(), "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", true) < 0)
        return nullptr;
    return module.release();
}

// ---- exec -------------------------------------------------------------------------------------

// The running version agrees with the built one when it starts with "major.minor" and no further
// digit follows ("3.1" does not agree with "3.10").
int check_version() noexcept {
    char built[16];
    std::snprintf(built, sizeof built, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    const char* running = Py_GetVersion();
    std::size_t n = std::strlen(built);
    bool same = std::strncmp(built, running, n) == 0 && !(running[n] >= '0' && running[n] <= '9');
    if (same) return 0;
    char shown[5] = {0};
    for (std::size_t i = 0, dots = 0; i < 4 && running[i]; ++i) {
        char c = running[i];
        if (c == '.' && ++dots > 1) break;
        if (c != '.' && !(c >= '0' && c <= '9')) break;
        shown[i] = c;
    }
    return PyErr_WarnFormat(nullptr, 1, "compiletime version %s of module '%.100s' does not match runtime version %s",
                            built, "c_sdk", shown);
}

// Imports `name` the way `from name import <fromlist>` in the module would (level 0, the module
// namespace as globals).
PyObject* import(const char* name, PyObject* fromlist) noexcept {
    ref module_name = ref::steal(PyUnicode_FromString(name));
    ref locals = ref::steal(PyDict_New());
    if (!module_name || !locals) return nullptr;
    return PyImport_ImportModuleLevelObject(module_name.get(), state.dict, locals.get(), fromlist, 0);
}

int bind_import(const char* name) noexcept {
    ref fromlist = ref::steal(PyList_New(0));
    if (!fromlist) return -1;
    ref module = ref::steal(import(name, fromlist.get()));
    if (!module) return -1;
    return PyDict_SetItemString(state.dict, name, module.get());
}

int bind_import_from(const char* module_name, const char* attr) noexcept {
    ref attr_name = ref::steal(PyUnicode_InternFromString(attr));
    if (!attr_name) return -1;
    ref fromlist = ref::steal(PyList_New(1));
    if (!fromlist) return -1;
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(attr_name.get()));
    ref module = ref::steal(import(module_name, fromlist.get()));
    if (!module) return -1;
    ref value = ref::steal(PyObject_GetAttr(module.get(), attr_name.get()));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError))
            PyErr_Format(PyExc_ImportError, "cannot import name %R", attr_name.get());
        return -1;
    }
    return PyDict_SetItem(state.dict, attr_name.get(), value.get());
}

// A first import usually fails here: the platform package is not on the path. The exception and
// its message stay as the import system made them; a note (3.11 and newer) says what is missing
// and where the stand-in for tests and the demo lives.
void note_missing_platform_package() noexcept {
#if PY_VERSION_HEX >= 0x030B0000
    if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) return;
#  if PY_VERSION_HEX >= 0x030C0000
    ref exc = ref::steal(PyErr_GetRaisedException());
#  else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    ref exc = ref::steal(value);
    Py_XDECREF(type);
    Py_XDECREF(tb);
#  endif
    if (!exc) return;
    // The name is read from the exception, which may be anything a finder raised.
    ref name = ref::steal(PyObject_GetAttrString(exc.get(), "name"));
    const char* text = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (text && (std::strcmp(text, "vq") == 0 || std::strncmp(text, "vq.", 3) == 0)) {
        ref done = ref::steal(PyObject_CallMethod(
            exc.get(), "add_note", "s",
            "c_sdk needs the trading platform's Python package 'vq' (it reads vq.constant and "
            "vq.utils at import). For tests and the demo, put the stand-in of 'vq' on the path: "
            "PYTHONPATH=<c_sdk source>/standin/python"));
        (void)done;
    }
    PyErr_Clear();  // whatever reading the name or adding the note raised: the import error stands
#  if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#  else
    PyObject* restored = exc.release();
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(restored))), restored,
                  PyException_GetTraceback(restored));
#  endif
#endif
}

const row* find_row(const char* name) noexcept {
    static const row_list* const lists[] = {&config_rows, &trading_rows, &market_rows, &stock_rows,
                                            &reference_rows, &event_rows};
    for (const row_list* list : lists)
        for (std::size_t i = 0; i < list->count; ++i)
            if (std::strcmp(list->rows[i].name, name) == 0) return &list->rows[i];
    return nullptr;
}

// Every binding in the one global order: its builtin, or what adapt_to_python3 made of it.
int bind_bindings() noexcept {
    reset_binding_defs();
    for (std::size_t i = 0; i < binding_order_size; ++i) {
        const row* r = find_row(binding_order[i]);
        if (!r) continue;  // not built (yet)
        r->shape.where->name = r->name;
        if (r->shape.init() < 0) return -1;
        PyMethodDef* def = new_binding_def();
        if (!def) return -1;
        const char* doc = def->ml_name == r->name ? def->ml_doc : make_doc(r->name, r->shape.signature, nullptr);
        if (!doc) return -1;
        *def = {r->name, r->shape.method(), r->shape.flags, doc};
        set_binding_adapted(def, r->shape.adapted);
        ref fn = ref::steal(new_builtin(def));
        if (!fn) return -1;
        if (r->how == decorated) {
            fn = ref::steal(helpers::adapt(fn.get()));
            if (!fn) return -1;
        }
        if (PyDict_SetItemString(state.dict, r->name, fn.get()) < 0) return -1;
    }
    return 0;
}

int fill_namespace(PyObject* module) noexcept {
    if (shutdown::watch() < 0) return -1;
    ref builtins = ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    if (!state.builtins) state.builtins = Py_NewRef(PyModule_GetDict(builtins.get()));
    if (compat::watch_namespaces(state.dict, state.builtins) < 0 || globals::init() < 0) return -1;
    if (PyDict_SetItemString(state.dict, "__builtins__", builtins.get()) < 0) return -1;

    PyObject* modules = PyImport_GetModuleDict();
    if (!state_name()) return -1;
    int present = PyDict_Contains(modules, state_name());
    if (present < 0 || (!present && PyDict_SetItem(modules, state_name(), module) < 0)) return -1;

    if (bind_import("functools") < 0 || bind_import("platform") < 0) return -1;
    if (bind_import_from("vq.constant", "CSDK_OPERATE_SUCCESS") < 0 ||
        bind_import_from("vq.utils", "vqsdklogger") < 0) {
        note_missing_platform_package();
        return -1;
    }
    if (PyDict_SetItemString(state.dict, "IS_PY2", Py_False) < 0 ||
        PyDict_SetItemString(state.dict, "IS_PY3", Py_True) < 0)
        return -1;

    if (records::add_to(module) < 0) return -1;
    if (helpers::add_to(module) < 0) return -1;
    if (bind_bindings() < 0) return -1;

    ref test = ref::steal(PyDict_New());
    if (!test || PyDict_SetItemString(state.dict, "__test__", test.get()) < 0) return -1;

    return exposed::add_to(module);
}

int exec(PyObject* module) {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'c_sdk' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    if (check_version() < 0) return -1;

    if (sdk::configure() < 0) return -1;
    state.module = Py_NewRef(module);
    state.dict = PyModule_GetDict(module);
    Py_CLEAR(failed_namespace);
    if (fill_namespace(module) == 0) return 0;

    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init c_sdk");
    add_traceback(init_site);
    // The functions made so far stay reachable (the traceback's frame holds the namespace) and
    // look their globals up in it: the namespace is kept, every remembered value is dropped, and
    // a lookup without a module raises (globals.cpp). A later import starts over.
    failed_namespace = Py_NewRef(state.dict);
    globals::forget();
    Py_CLEAR(state.module);
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create)},
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    CSDK_INTERPRETER_SLOTS
    CSDK_GIL_SLOTS
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "c_sdk",
    nullptr,  // no docstring
    0,        // no per-module state
    nullptr,  // no methods: the exec step makes every function object
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace csdk

extern "C" PyMODINIT_FUNC PyInit_c_sdk(void) {
    return PyModuleDef_Init(&csdk::definition);
}
