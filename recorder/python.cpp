// The recorder's questions to the Python interpreter (python.hpp). Only functions of the
// interpreter's stable ABI are called, through pointers looked up once; objects are handled
// through Py_IncRef / Py_DecRef, and the one field read in place is ob_type (the first fields of
// every object in the builds the module supports).
#include "python.hpp"

#include "boundary.h"

#include <dlfcn.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace rec::py {
namespace {

using Obj = void*;
constexpr int kEq = 2, kNe = 3;  // Py_EQ, Py_NE

struct Api {
    Obj (*current)();           // _PyThreadState_UncheckedGet (3.10-3.12) / PyThreadState_GetUnchecked (3.13)
    Obj (*this_thread)();       // PyGILState_GetThisThreadState
    Obj (*intern)(const char*);
    Obj (*get_module)(Obj);     // new reference, or null
    Obj (*module_dict)(Obj);    // borrowed
    Obj (*module_dicts)();      // sys.modules, borrowed
    int (*dict_next)(Obj, ssize_t*, Obj*, Obj*);
    void* (*module_def)(Obj);
    Obj (*dict_get)(Obj, Obj);  // borrowed
    int (*dict_get_ref)(Obj, Obj, Obj*);  // PyDict_GetItemRef (free-threaded: a new reference)
    Obj (*occurred)();
    void (*clear)();
    void (*fetch)(Obj*, Obj*, Obj*);
    void (*restore)(Obj, Obj, Obj);
    long (*as_long)(Obj, int*);
    Obj (*from_long)(long);
    int (*compare)(Obj, Obj, int);
    void (*incref)(Obj);
    void (*decref)(Obj);
    Obj long_type;
    Obj (*save)();
    void (*restore_thread)(Obj);
    Obj (*frame)(Obj);          // PyThreadState_GetFrame: new reference
    Obj (*back)(Obj);           // new reference
    Obj (*code)(Obj);           // new reference
    int (*line)(Obj);
    Obj (*getattr)(Obj, const char*);
    const char* (*utf8)(Obj, ssize_t*);
    int (*gc_disable)();
    Obj (*call)(Obj, Obj);      // PyObject_CallObject
} api;
bool g_ok = false;
bool g_version_tags = false;  // the dicts' version tags can be read (3.10 to 3.13)
// A free-threaded interpreter: a larger object header (ob_type at 24, PyModuleDef's m_name at 56),
// no version tags to read, and a global looked up as a strong reference, since another thread can
// rebind it at any instant.
bool g_free_threaded = false;

template <class F>
bool find(F& slot, const char* name) noexcept {
    slot = reinterpret_cast<F>(dlsym(RTLD_DEFAULT, name));
    return slot != nullptr;
}

// What the module offers (boundary.h), when it is free-threaded: a thread inside one of its SDK
// calls is detached from the interpreter there, holding the module's SDK lock.
const csdk_boundary* g_boundary = nullptr;

// While it lives, the calling thread is attached to the interpreter if it can be: it is already,
// or it is inside a call of the free-threaded module, which lets its SDK lock go and attaches it.
class Attached {
public:
    Attached() noexcept
        : token_(g_ok && g_boundary && !api.current() ? g_boundary->suspend(1) : nullptr) {}
    ~Attached() {
        if (token_) g_boundary->resume(token_);
    }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;

private:
    void* token_;
};

// The module's namespace and the builtins, held once found.
Obj g_namespace = nullptr, g_builtins = nullptr, g_name = nullptr;
// The last success object seen, held, and what it means.
Obj g_cached = nullptr;
Success g_cached_as;

Obj type_of(Obj o) noexcept {
    Obj t;
    std::memcpy(&t, static_cast<char*>(o) + (g_free_threaded ? 24 : sizeof(ssize_t)), sizeof t);
    return t;
}

// The c_sdk module: sys.modules['c_sdk'], else the module in sys.modules made from the module
// definition named c_sdk (imported under another name).
Obj find_namespace_here() noexcept {
    Obj name = api.intern("c_sdk");
    if (!name) return nullptr;
    Obj m = api.get_module(name);
    if (!m) {
        Obj modules = api.module_dicts();
        ssize_t pos = 0;
        Obj key, value;
        while (modules && api.dict_next(modules, &pos, &key, &value)) {
            void* def = api.module_def(value);  // PyModuleDef: m_name follows PyModuleDef_Base (40 bytes)
            if (!def) {
                api.clear();
                continue;
            }
            const char* m_name;
            std::memcpy(&m_name, static_cast<char*>(def) + (g_free_threaded ? 56 : 40), sizeof m_name);
            if (m_name && std::strcmp(m_name, "c_sdk") == 0) {
                m = value;
                api.incref(m);
                break;
            }
        }
    }
    if (!m) return nullptr;
    Obj dict = api.module_dict(m);
    if (dict) api.incref(dict);
    api.decref(m);
    if (!dict) return nullptr;
    Obj builtins_name = api.intern("builtins");
    Obj builtins = builtins_name ? api.get_module(builtins_name) : nullptr;
    if (!builtins) {
        api.decref(dict);
        return nullptr;
    }
    g_builtins = api.module_dict(builtins);  // the builtins module lives as long as the interpreter
    api.decref(builtins);
    g_name = g_builtins ? api.intern("CSDK_OPERATE_SUCCESS") : nullptr;
    if (!g_name) {
        api.decref(dict);
        return nullptr;
    }
    return g_namespace = dict;
}

// The same, leaving the pending exception as it was.
Obj find_namespace() noexcept {
    Obj type, value, tb;
    api.fetch(&type, &value, &tb);
    Obj found = find_namespace_here();
    api.clear();
    api.restore(type, value, tb);
    return found;
}

std::string printable(const char* text, std::size_t n) {
    std::string s;
    for (std::size_t k = 0; k < n; ++k) {
        unsigned char c = static_cast<unsigned char>(text[k]);
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            s += hex;
        } else {
            s += char(c);
        }
    }
    return s;
}

std::string attribute(Obj o, const char* name) {
    Obj v = api.getattr(o, name);
    if (!v) {
        api.clear();
        return "?";
    }
    ssize_t n = 0;
    const char* text = api.utf8(v, &n);
    std::string s = text ? printable(text, std::size_t(n)) : "?";
    if (!text) api.clear();
    api.decref(v);
    return s;
}

}  // namespace

void init() noexcept {
    if (!find(api.current, "PyThreadState_GetUnchecked") && !find(api.current, "_PyThreadState_UncheckedGet")) return;
    g_ok = find(api.this_thread, "PyGILState_GetThisThreadState") && find(api.intern, "PyUnicode_InternFromString") &&
           find(api.get_module, "PyImport_GetModule") && find(api.module_dict, "PyModule_GetDict") &&
           find(api.module_dicts, "PyImport_GetModuleDict") && find(api.dict_next, "PyDict_Next") &&
           find(api.module_def, "PyModule_GetDef") && find(api.dict_get, "PyDict_GetItemWithError") &&
           find(api.occurred, "PyErr_Occurred") && find(api.clear, "PyErr_Clear") && find(api.fetch, "PyErr_Fetch") &&
           find(api.restore, "PyErr_Restore") && find(api.as_long, "PyLong_AsLongAndOverflow") &&
           find(api.from_long, "PyLong_FromLong") && find(api.compare, "PyObject_RichCompareBool") &&
           find(api.incref, "Py_IncRef") && find(api.decref, "Py_DecRef") && find(api.long_type, "PyLong_Type") &&
           find(api.save, "PyEval_SaveThread") && find(api.restore_thread, "PyEval_RestoreThread") &&
           find(api.frame, "PyThreadState_GetFrame") && find(api.back, "PyFrame_GetBack") &&
           find(api.code, "PyFrame_GetCode") && find(api.line, "PyFrame_GetLineNumber") &&
           find(api.getattr, "PyObject_GetAttrString") && find(api.utf8, "PyUnicode_AsUTF8AndSize") &&
           find(api.gc_disable, "PyGC_Disable") && find(api.call, "PyObject_CallObject");
    // The layout read in place (ob_type, ma_version_tag) is that of the interpreters the module
    // supports, 3.10 to 3.13 with the GIL (Py_Version exists from 3.11; 3.10 has no
    // PyThreadState_GetUnchecked, and its own version text).
    const unsigned long* version = nullptr;
    const char* (*version_text)() = nullptr;
    if (find(version, "Py_Version")) {
        g_version_tags = *version >= 0x030B0000 && *version < 0x030E0000;
    } else if (find(version_text, "Py_GetVersion")) {
        g_version_tags = std::strncmp(version_text(), "3.10.", 5) == 0;
    }
    void* free_threaded = nullptr;
    if (find(free_threaded, "_Py_MergeZeroLocalRefcount")) {
        g_free_threaded = true;
        g_version_tags = false;
        g_ok = g_ok && find(api.dict_get_ref, "PyDict_GetItemRef");
    }
}

bool holds_lock() noexcept {
    if (!g_ok) return false;
    Obj now = api.current();
    return now && now == api.this_thread();
}

Remembered g_remembered;

Success looked_up(const char** why) noexcept {
    Attached attached;
    if (!g_ok) {
        *why = "no Python interpreter in this process";
        return {};
    }
    if (!holds_lock()) {
        *why = "a call from a thread that does not hold the interpreter lock";
        return {};
    }
    if (!g_namespace && !find_namespace()) {
        *why = "no c_sdk module in this process";
        return {};
    }
    // A str key never raises in a dict lookup: a null answer is "not there".
    Obj v = nullptr;
    if (g_free_threaded) {
        if (api.dict_get_ref(g_namespace, g_name, &v) == 0) api.dict_get_ref(g_builtins, g_name, &v);
    } else {
        v = api.dict_get(g_namespace, g_name);
        if (!v) v = api.dict_get(g_builtins, g_name);
        if (v) api.incref(v);
    }
    if (!v) {
        *why = "no CSDK_OPERATE_SUCCESS (the module does not call the SDK then)";
        return {};
    }
    struct held_ref {
        Obj o;
        ~held_ref() { api.decref(o); }
    } held{v};
    if (v != g_cached) {
        Success as{};
        if (type_of(v) == api.long_type) {
            int overflow = 0;
            as.number = api.as_long(v, &overflow);
            as.state = overflow ? Success::State::never : Success::State::number;  // no int status equals it
        } else {
            as.state = Success::State::object;
        }
        g_remembered.namespace_dict = nullptr;
        api.incref(v);
        if (g_cached) api.decref(g_cached);
        g_cached = v;
        g_cached_as = as;
    }
    Success s = g_cached_as;
    if (s.state == Success::State::object) {
        s.object = v;
        api.incref(v);
    } else if (g_version_tags) {  // remembered until either namespace changes
        Remembered& r = g_remembered;
        r.namespace_dict = static_cast<const char*>(g_namespace);
        r.builtins_dict = static_cast<const char*>(g_builtins);
        r.namespace_tag = version_tag(r.namespace_dict);
        r.builtins_tag = version_tag(r.builtins_dict);
        r.as = s;
    }
    return s;
}

bool compared(Success& s, int status, bool address, const unsigned long& sdk_calls) noexcept {
    if (s.state != Success::State::object) return false;
    Attached attached;
    bool read = false;
    if (holds_lock()) {
        Obj type, value, tb;
        api.fetch(&type, &value, &tb);
        unsigned long before = sdk_calls;
        if (Obj st = api.from_long(status)) {
            int truth = api.compare(st, s.object, address ? kNe : kEq);
            if (truth >= 0) read = address ? truth == 0 : truth == 1;
            api.decref(st);
        }
        if (sdk_calls != before) read = false;  // the response it reported may be gone
        api.clear();
        api.restore(type, value, tb);
    }
    release(s);
    return read;
}

void release(Success& s) noexcept {
    if (s.state == Success::State::object && s.object) {
        Attached attached;
        if (holds_lock()) api.decref(s.object);
    }
    s.state = Success::State::unknown;
    s.object = nullptr;
}

std::string stack(const char* indent) {
    Attached attached;
    if (!g_ok) return std::string(indent) + "(no Python stack: no Python interpreter in this process)\n";
    if (!holds_lock())
        return std::string(indent) + "(no Python stack: the calling thread does not hold the interpreter lock)\n";
    // Nothing below may run Python code that could call the SDK again (a finalizer of a
    // collection): the process ends right after the report.
    api.gc_disable();
    Obj type, value, tb;
    api.fetch(&type, &value, &tb);
    std::vector<std::string> lines;
    constexpr std::size_t kFrames = 24;
    std::size_t more = 0;
    Obj frame = api.frame(api.current());
    while (frame) {
        if (lines.size() < kFrames) {
            Obj code = api.code(frame);
            std::string file = code ? attribute(code, "co_filename") : "?";
            std::string name = code ? attribute(code, "co_name") : "?";
            if (code) api.decref(code);
            lines.push_back(std::string(indent) + "File \"" + file + "\", line " + std::to_string(api.line(frame)) +
                            ", in " + name + "\n");
        } else {
            ++more;
        }
        Obj back = api.back(frame);
        api.decref(frame);
        frame = back;
    }
    api.clear();
    api.restore(type, value, tb);
    if (lines.empty()) return std::string(indent) + "(no Python stack: no Python code is running on this thread)\n";
    std::string s;
    if (more) s += std::string(indent) + "... " + std::to_string(more) + " outer frames left out\n";
    std::reverse(lines.begin(), lines.end());
    for (const std::string& l : lines) s += l;
    return s;
}

void flush_streams() noexcept {
    Attached attached;
    if (!holds_lock()) return;
    Obj type, value, tb;
    api.fetch(&type, &value, &tb);
    Obj name = api.intern("sys");
    Obj sys = name ? api.get_module(name) : nullptr;
    for (const char* which : {"stdout", "stderr"}) {
        Obj stream = sys ? api.getattr(sys, which) : nullptr;
        Obj flush = stream ? api.getattr(stream, "flush") : nullptr;
        Obj done = flush ? api.call(flush, nullptr) : nullptr;
        for (Obj o : {done, flush, stream})
            if (o) api.decref(o);
        api.clear();
    }
    if (sys) api.decref(sys);
    api.clear();
    api.restore(type, value, tb);
}

Released release_lock() noexcept {
    if (holds_lock()) return {api.save(), nullptr};
    return {nullptr, g_boundary ? g_boundary->suspend(0) : nullptr};
}
void reacquire_lock(Released held) noexcept {
    if (held.sdk) g_boundary->resume(held.sdk);
    if (held.interpreter) api.restore_thread(held.interpreter);
}

}  // namespace rec::py

// The free-threaded module hands its boundary over at import.
extern "C" __attribute__((visibility("default"))) void vqsdk_module_boundary(const csdk_boundary* boundary) {
    if (boundary && boundary->size >= sizeof(csdk_boundary)) rec::py::g_boundary = boundary;
}
