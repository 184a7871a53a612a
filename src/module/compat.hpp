// Everything that differs between the supported CPython versions (3.10 to 3.13) lives here, so
// the rest of the module reads the same on every version. Only public API is used: nothing here
// needs a header that left the public include directory by 3.13.
#pragma once
#include <Python.h>
#include <frameobject.h>
#include <atomic>
#include <cstdint>

#include "module/race_points.hpp"
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
// Free-threaded, nothing is remembered (globals.hpp), and there is no stamp.
#if defined(Py_GIL_DISABLED)
#  define CSDK_DICT_WATCHERS 0
#  define CSDK_NAMESPACE_STAMPS 0
#elif PY_VERSION_HEX >= 0x030C0000
#  define CSDK_DICT_WATCHERS 1
#  define CSDK_NAMESPACE_STAMPS 1
#else
#  define CSDK_DICT_WATCHERS 0
#  define CSDK_NAMESPACE_STAMPS 1
#endif

#if !CSDK_NAMESPACE_STAMPS
inline uint64_t namespace_stamp(PyObject*, PyObject*) noexcept { return 0; }
#elif CSDK_DICT_WATCHERS
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
    PyObject* value_object() const noexcept { return exc; }  // borrowed
    ~saved_exception() { Py_XDECREF(exc); }
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    void fetch() noexcept { PyErr_Fetch(&type, &value, &tb); }
    void restore_copy() const noexcept {
        Py_XINCREF(type); Py_XINCREF(value); Py_XINCREF(tb);
        PyErr_Restore(type, value, tb);
    }
    PyObject* value_object() const noexcept { return value; }  // borrowed; normalized if fetched so
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

// A stamp of a type's state: once taken, it matches the type until the type's namespace or
// bases change, and never again after that.
//
// From 3.11 the type's version tag is such a stamp: every change invalidates it and no tag is
// given out twice (the interpreter's attribute cache rests on that). Up to 3.12 validity is a type
// flag; from 3.13 that flag is no longer kept and an invalid tag is 0. In 3.10 clearing the type
// cache (sys._clear_type_cache) restarts the tags, so there the stamp is the namespace's version
// (all dicts draw versions from one increasing counter) together with the method resolution order,
// held so that no new one can appear at its address.
class type_stamp {
public:
    // The reading to keep for a finding about the type: taken before the type is examined. A
    // race point marks the instant before it, where another thread's change would make a
    // reading taken after the examination wrong.
    static auto before_examining(PyTypeObject* type, const char* point) noexcept {
        race_point(point, reinterpret_cast<PyObject*>(type));
        return now(type);
    }

    type_stamp() noexcept = default;
    type_stamp(const type_stamp&) = delete;
    type_stamp& operator=(const type_stamp&) = delete;

    // A stamp is read (`now`) before the type is examined and kept (`keep`) after: a change made
    // meanwhile (free-threaded, by another thread) leaves a stamp that matches no longer, never
    // the new state's stamp on the old state's finding.
#if defined(Py_GIL_DISABLED)
    // Free-threaded, the interpreter writes a type's tag under its type lock and reads it without;
    // so do we, and the stamp itself is read and kept by any thread.
    using reading = unsigned int;
    static reading now(PyTypeObject* type) noexcept {
        return std::atomic_ref<unsigned int>(type->tp_version_tag).load(std::memory_order_relaxed);
    }
    bool matches(PyTypeObject* type) const noexcept { return now(type) == tag_.load(std::memory_order_relaxed); }
    // Keeps the reading; false if the type had no stamp at that moment.
    bool keep(reading tag) noexcept {
        if (tag == 0) return false;
        tag_.store(tag, std::memory_order_relaxed);
        return true;
    }

private:
    std::atomic<uint64_t> tag_{UINT64_MAX};
#elif PY_VERSION_HEX >= 0x030B0000
    using reading = unsigned int;
    static reading now(PyTypeObject* type) noexcept {
#  if PY_VERSION_HEX >= 0x030D0000
        return type->tp_version_tag;
#  else
        return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#  endif
    }
    bool matches(PyTypeObject* type) const noexcept { return now(type) == tag_; }
    bool keep(reading tag) noexcept {
        if (tag == 0) return false;
        tag_ = tag;
        return true;
    }

private:
    uint64_t tag_ = UINT64_MAX;  // matches no tag, the invalid 0 included
#else
    // With the GIL, nothing changes the type between `now` and `keep` unless Python code runs
    // there, and the callers run none: the borrowed order is still the type's.
    struct reading {
        PyObject* mro;
        uint64_t dict_version;
    };
    static reading now(PyTypeObject* type) noexcept {
        if (!type->tp_mro || !type->tp_dict) return {nullptr, 0};
        return {type->tp_mro, reinterpret_cast<PyDictObject*>(type->tp_dict)->ma_version_tag};
    }
    bool matches(PyTypeObject* type) const noexcept {
        return type->tp_mro == mro_ && reinterpret_cast<PyDictObject*>(type->tp_dict)->ma_version_tag == dict_version_;
    }
    bool keep(reading r) noexcept {
        if (!r.mro) return false;
        Py_XSETREF(mro_, Py_NewRef(r.mro));
        dict_version_ = r.dict_version;
        return true;
    }

private:
    PyObject* mro_ = nullptr;  // strong; kept for the process with the stamp
    uint64_t dict_version_ = 0;
#endif
};

// A type's method resolution order as a new reference (null, without an exception, if it has
// none). Free-threaded, `__bases__` can be assigned by another thread at any instant, freeing the
// old tuple: it is read under the type's lock, through the attribute.
inline PyObject* type_mro(PyTypeObject* type) noexcept {
#if defined(Py_GIL_DISABLED)
    PyObject* mro = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__mro__");
    if (mro && !PyTuple_Check(mro)) Py_CLEAR(mro);
    if (!mro) PyErr_Clear();
    return mro;
#else
    return Py_XNewRef(type->tp_mro);
#endif
}

// d[key] as a new reference in *out: 1 found, 0 missing (*out null), -1 error. From 3.13 the
// reference is taken inside the lookup, so another thread's store cannot free it first.
inline int dict_get_ref(PyObject* d, PyObject* key, PyObject** out) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(d, key, out);
#else
    PyObject* v = PyDict_GetItemWithError(d, key);
    *out = Py_XNewRef(v);
    return v ? 1 : PyErr_Occurred() ? -1 : 0;
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

// ---- interpreters ---------------------------------------------------------------------------
inline int64_t interpreter_id() noexcept {
    return PyInterpreterState_GetID(PyInterpreterState_Get());
}

// sys.<name> as a new reference; null, with no exception, when it is missing. Free-threaded,
// another thread may assign sys.<name> at any instant and free what PySys_GetObject lends, so
// there the reference is taken inside the lookup of sys's namespace. (From 3.15
// PySys_GetOptionalAttrString does this on every build.)
inline PyObject* sys_get(const char* name) noexcept {
#if defined(Py_GIL_DISABLED)
    PyObject* sys = PyImport_ImportModule("sys");
    PyObject* value = nullptr;
    if (sys) {
        PyObject* key = PyUnicode_FromString(name);
        if (key && PyDict_GetItemRef(PyModule_GetDict(sys), key, &value) < 0) value = nullptr;
        Py_XDECREF(key);
        Py_DECREF(sys);
    }
    PyErr_Clear();
    return value;
#else
    return Py_XNewRef(PySys_GetObject(name));
#endif
}

// Whether the interpreter is shutting down (past the atexit handlers; module teardown then sets
// module globals to None): 1, 0, or -1 with an exception. Public from 3.13; before, what
// sys.is_finalizing() says, which runs Python code only if someone replaced it.
inline int finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    PyObject* test = PySys_GetObject("is_finalizing");  // borrowed; missing: as if not finalizing
    if (!test) return 0;
    Py_INCREF(test);
    PyObject* outcome = PyObject_CallNoArgs(test);
    Py_DECREF(test);
    if (!outcome) return -1;
    int truth = PyObject_IsTrue(outcome);
    Py_DECREF(outcome);
    return truth;
#endif
}

// Whether the interpreter has begun to finalize, asked from any thread, attached or not.
inline bool finalize_begun() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Whether this thread holds the interpreter lock (free-threaded: is attached). From 3.12 the
// thread's current state is a thread-local (null while the thread has released the lock). Before,
// the thread-state registry's entry for this thread is compared with the state that holds the
// lock. (Not PyGILState_Check(): once a sub-interpreter has existed it answers 1 on every thread.)
inline bool holds_lock() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    PyThreadState* mine = PyGILState_GetThisThreadState();
    return mine != nullptr && mine == _PyThreadState_UncheckedGet();
#endif
}

// The module lives in one interpreter per process: its create step refuses every other one with
// the module's own ImportError. From 3.12 the import machinery first asks the module whether it
// may be loaded outside the main interpreter, and into an interpreter with a GIL of its own, and
// without an answer refuses the latter itself, with a message of its own. The module answers yes,
// so that its create step gives the one answer on every version and in every kind of interpreter.
// That is safe because the create step of a refused interpreter touches nothing of the module but
// the owner claim below before it raises.
#if PY_VERSION_HEX >= 0x030C0000
#  define CSDK_INTERPRETER_SLOTS {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#  define CSDK_INTERPRETER_SLOTS
#endif

// Free-threaded, the module runs without the GIL: the SDK keeps its one thread at a time through
// the SDK lock (sdk_section.hpp), and nothing the module keeps is read through a borrowed
// reference another thread could drop.
#ifdef Py_GIL_DISABLED
#  define CSDK_GIL_SLOTS {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#  define CSDK_GIL_SLOTS
#endif

// A reference made on first use and kept for the process: `slot` as it is, or else what `make`
// returns (a new reference; null with an exception: the next use tries again). Free-threaded, two
// threads may make one at once: the first to publish wins, the other's is dropped.
template <class Make>
inline PyObject* once(PyObject*& slot, Make make) noexcept {
#ifdef Py_GIL_DISABLED
    std::atomic_ref<PyObject*> published(slot);
    PyObject* current = published.load(std::memory_order_acquire);
    if (current) return current;
    PyObject* made = make();
    if (!made) return nullptr;
    if (published.compare_exchange_strong(current, made, std::memory_order_acq_rel)) return made;
    Py_DECREF(made);
    return current;
#else
    if (!slot) slot = make();
    return slot;
#endif
}

// Claims `owner` (-1 while unclaimed) for interpreter `id`: true when it is id's now or was
// already. Atomic, as an interpreter with a GIL of its own can import at the same time as another.
inline bool claim_interpreter(int64_t& owner, int64_t id) noexcept {
    int64_t expected = -1;
    return std::atomic_ref<int64_t>(owner).compare_exchange_strong(expected, id) || expected == id;
}

}  // namespace csdk::compat
