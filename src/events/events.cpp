// The event bridge and the run-loop and timer bindings.
//
// The SDK delivers every event (market data, order updates, timers) through one native callback,
// callback_wrapper, on the thread that is inside an SDK call (vqi_run, vqi_poll, ...). With the
// GIL every SDK call the module makes keeps the interpreter lock, so the callback normally runs
// with it held and calls the Python handler directly; free-threaded, the thread is detached inside
// the call and holding the SDK lock, and it lets that lock go and attaches for the handler
// (sdk_section.hpp). An SDK that calls back from a thread of its own (which holds no lock) gets
// the interpreter taken for that one event through the thread-state API.
//
// The Python handler is the module global `f`, bound by py_vqi_set_data_callback and looked up at
// each event, like every other global the module reads (module namespace, then builtins).
#include <Python.h>

#include <cstddef>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include <vqsdk/vqsdk.h>

#include "bindings/registry.hpp"
#include "events/handler_exit.hpp"
#include "module/compat.hpp"
#include "module/errors.hpp"
#include "module/globals.hpp"
#include "module/ref.hpp"
#include "module/sdk_section.hpp"
#include "module/shutdown.hpp"

namespace csdk {
namespace {

// ---- the event callback ----------------------------------------------------------------------

// The object an event failure is reported against: sys.unraisablehook receives it as `object`,
// and the default hook prints "Exception ignored in: 'c_sdk.callback_wrapper'". Made when the
// binding is set up, so that reporting a failure needs nothing new.
PyObject* failure_context = nullptr;

// The SDK's run loop stopped (vqi_stop), the pending exception kept.
CSDK_COLD void stop_run_loop() noexcept {
    compat::saved_exception pending;
    pending.fetch();
    {
        sdk::section in_sdk;
        if (in_sdk.entered()) {
            ++shapes::sdk_calls;
            vqi_stop();
            in_sdk.leave();
        }
    }
    PyErr_Clear();
    pending.restore_copy();
}

#if PY_VERSION_HEX >= 0x030E0000
// The standard printing of the pending KeyboardInterrupt without what PyErr_PrintEx does to it from
// 3.14: mark it unhandled for the whole process, which then ends by SIGINT (status 130) however it
// ends. Here, as there: sys.last_exc and friends, then sys.excepthook (its own failure printed
// before the exception, as the interpreter does).
CSDK_COLD void print_interrupt() noexcept {
    ref exc = ref::steal(PyErr_GetRaisedException());
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
    ref tb = ref::steal(PyException_GetTraceback(exc.get()));
    if (!tb) tb = ref::borrow(Py_None);
    if (PySys_SetObject("last_exc", exc.get()) < 0 || PySys_SetObject("last_type", type) < 0 ||
        PySys_SetObject("last_value", exc.get()) < 0 || PySys_SetObject("last_traceback", tb.get()) < 0)
        PyErr_Clear();
    ref hook = ref::steal(compat::sys_get("excepthook"));
    if (!hook || hook.get() == Py_None) {
        PySys_WriteStderr("sys.excepthook is missing\n");
        PyErr_DisplayException(exc.get());
        return;
    }
    ref done = ref::steal(PyObject_CallFunctionObjArgs(hook.get(), type, exc.get(), tb.get(), nullptr));
    if (done) return;
    ref failure = ref::steal(PyErr_GetRaisedException());
    PySys_WriteStderr("Error in sys.excepthook:\n");
    PyErr_DisplayException(failure.get());
    PySys_WriteStderr("\nOriginal exception was:\n");
    PyErr_DisplayException(exc.get());
}
#endif

// An event failed with the exception pending. The SDK's callback returns nothing and the SDK
// cannot carry a Python exception back to the caller of vqi_run, so the failure is reported here
// and the event is dropped: the SDK goes on with the next one.
//
// The report is twofold: the standard printing (with traceback; it also stores sys.last_value
// and friends for post-mortem debugging), then the same exception through sys.unraisablehook
// against "c_sdk.callback_wrapper", where tests and embedding code can observe it.
//
// SystemExit ends the process with the exception's exit status, as an uncaught SystemExit does
// anywhere else: a handler calls sys.exit() to end the strategy. The standard printing would end
// it from inside the handler, with the strategy's frames (and the files they hold) below it, and
// off the main thread it would wait for the very thread that exits: instead the run loop is
// stopped and the main thread raises the exception (handler_exit.cpp); the event is dropped.
//
// KeyboardInterrupt is reported and swallowed like any other exception. The run loop belongs to
// the SDK, not to us: raising cannot unwind through it, and stopping it on the SDK's behalf
// would skip its own shutdown. The package stops the loop with py_vqi_stop.
CSDK_COLD void report_failed_event() noexcept {
    compat::normalize_pending();
    if (PyErr_ExceptionMatches(PyExc_SystemExit)) {
        stop_run_loop();
        events::exit_from_handler();
        PyErr_Clear();
        return;
    }
    compat::saved_exception pending;
    pending.fetch();
    pending.restore_copy();
#if PY_VERSION_HEX >= 0x030E0000
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt))
        print_interrupt();
    else
        PyErr_PrintEx(1);
#else
    PyErr_PrintEx(1);
#endif
    pending.restore_copy();
    PyErr_WriteUnraisable(failure_context);
    PyErr_Clear();  // a broken hook has been reported by the interpreter already
}

// The SDK broke its contract. Nothing is read from the null pointer; the event fails like any
// other, so it is reported and the loop goes on.
CSDK_COLD PyObject* null_topic() noexcept {
    PyErr_SetString(PyExc_SystemError, "callback_wrapper: the SDK passed a null topic");
    return nullptr;
}

CSDK_COLD PyObject* null_payload(int len) noexcept {
    PyErr_Format(PyExc_SystemError, "callback_wrapper: the SDK passed a null payload of length %d", len);
    return nullptr;
}

// The str of the last topic seen, kept for the next event: an SDK sends a handful of topics over
// and over, and a str is immutable, so the same object serves every event of that topic (as an
// interned name would). Only short topics are kept. Free-threaded, events of several threads would
// share it: there every topic is decoded anew.
#ifndef Py_GIL_DISABLED
struct topic_cache {
    static constexpr std::size_t capacity = 32;
    PyObject* str = nullptr;  // strong
    std::size_t size = 0;
    char text[capacity];

    PyObject* find(const char* topic, std::size_t n) const noexcept {
        if (CSDK_LIKELY(str != nullptr && n == size && std::memcmp(topic, text, n) == 0)) return Py_NewRef(str);
        return nullptr;
    }
    void keep(const char* topic, std::size_t n, PyObject* decoded) noexcept {
        if (n > capacity) return;
        std::memcpy(text, topic, n);
        size = n;
        Py_XSETREF(str, Py_NewRef(decoded));  // a str's deallocation runs no Python code
    }
};
topic_cache last_topic;
#endif

// The topic as the handler receives it: bytes up to its NUL under IS_PY2, else str decoded as
// UTF-8, strict (the decoder has its own ASCII fast path and returns the shared '' and one-letter
// strings without allocating).
inline PyObject* topic_object(const char* topic, int py2) noexcept {
    if (CSDK_UNLIKELY(!topic)) return null_topic();
    if (py2) return PyBytes_FromString(topic);
    std::size_t n = std::strlen(topic);
#ifndef Py_GIL_DISABLED
    if (PyObject* known = last_topic.find(topic, n)) return known;
    PyObject* decoded = PyUnicode_DecodeUTF8(topic, static_cast<Py_ssize_t>(n), nullptr);
    if (decoded) last_topic.keep(topic, n, decoded);
    return decoded;
#else
    return PyUnicode_DecodeUTF8(topic, static_cast<Py_ssize_t>(n), nullptr);
#endif
}

// A copy of exactly `len` payload bytes (NULs included). The SDK owns `data` and frees it once
// the callback returns. A negative length gets the interpreter's own negative-size error; a null
// pointer with a positive length is never read.
inline PyObject* payload_object(const char* data, int len) noexcept {
    if (CSDK_LIKELY(data != nullptr) || len <= 0) return PyBytes_FromStringAndSize(data, len);
    return null_payload(len);
}

// f(topic, payload). False with the exception pending when a step fails; the steps after it are
// skipped.
// The handler's result, through its own vectorcall entry when it has one (a Python function, a
// bound method), checked the way PyObject_Vectorcall checks it.
CSDK_COLD PyObject* checked_result(PyObject* callable, PyObject* result) noexcept {
    if (!result) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_SystemError, "%R returned NULL without setting an exception", callable);
        return nullptr;
    }
    Py_DECREF(result);
    PyErr_Format(PyExc_SystemError, "%R returned a result with an exception set", callable);
    return nullptr;
}

// What PyVectorcall_Function answers, read in place (it is an out-of-line call on some versions).
inline vectorcallfunc vectorcall_of(PyObject* callable) noexcept {
    PyTypeObject* type = Py_TYPE(callable);
    if (!PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL)) return nullptr;
    vectorcallfunc call;
    std::memcpy(&call, reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset, sizeof call);
    return call;
}

inline PyObject* call_handler(PyObject* callable, PyObject* const* args, size_t nargsf) noexcept {
    vectorcallfunc call = vectorcall_of(callable);
    if (CSDK_UNLIKELY(!call)) return PyObject_Vectorcall(callable, args, nargsf, nullptr);
    PyObject* result = call(callable, args, nargsf, nullptr);
    if (CSDK_UNLIKELY(!result || PyErr_Occurred())) return checked_result(callable, result);
    return result;
}

inline bool deliver(const char* topic, const char* data, int len) noexcept {
    int py2 = is_py2();
    if (CSDK_UNLIKELY(py2 < 0)) return false;
    ref topic_obj = ref::steal(topic_object(topic, py2));
    if (CSDK_UNLIKELY(!topic_obj)) return false;
    // Held for the call: a handler that registers another one drops the namespace's reference to
    // itself while it runs. Looked up under a stamp of its own: the truth test of IS_PY2 and the
    // allocations above may run Python code (a __bool__, a finalizer) that rebinds it.
    ref handler = globals::handler.hold();
    if (CSDK_UNLIKELY(!handler)) return false;
    ref payload = ref::steal(payload_object(data, len));
    if (CSDK_UNLIKELY(!payload)) return false;
    // The slot before the arguments is ours to lend: a bound method puts its instance there and
    // calls its function without building an argument tuple.
    PyObject* args[3] = {nullptr, topic_obj.get(), payload.get()};
    ref result = ref::steal(call_handler(handler.get(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET));
    return static_cast<bool>(result);
}

inline void deliver_or_report(const char* topic, const char* data, int len) noexcept {
    if (CSDK_UNLIKELY(!deliver(topic, data, len))) report_failed_event();
}

// An event on a thread that is not inside one of the module's own SDK calls: an SDK thread of its
// own, a thread that called the SDK some other way, or one that arrives once the interpreter has
// begun to shut down.
//
// While the interpreter runs, it is taken for the event (the thread may hold it already) and given
// back after; the event is delivered and reported exactly as on the Python thread. Once shutdown
// has begun (or is over) a thread that does not hold the lock must not take it: the interpreter
// would park that thread for good, or nothing is left to call. Such an event is dropped, and the
// thread returns to the SDK (shutdown.hpp: the shutdown waits for the threads already on their way).
CSDK_COLD void foreign_event(const char* topic, const char* data, int len) noexcept {
    shutdown::attachment held;
    if (shutdown::attach(held)) {
        deliver_or_report(topic, data, len);
        shutdown::detach(held);
        return;
    }
    // After shutdown the thread-state registry is gone and reports no thread state.
    if (!shutdown::finalized() && Py_IsInitialized() && PyGILState_GetThisThreadState() && compat::holds_lock())
        deliver_or_report(topic, data, len);
}

// What the SDK calls for each event. Whatever happens, it returns normally: an event that fails
// is reported and dropped, and the SDK's loop goes on. Inside one of the module's SDK calls (the
// thread holds the interpreter lock, or free-threaded is attached and holds the SDK lock) the cost
// is one thread-local read; the handler then runs outside the SDK section (sdk_section.hpp).
void VQSDK_CALL callback_wrapper(const char* topic, const char* data, int len) noexcept {
#if CSDK_SDK_LOCK
    if (CSDK_LIKELY(sdk::depth > 0 && sdk::detached != nullptr)) {
        // Free-threaded, the thread is detached inside the call: it attaches for the handler,
        // unless the interpreter is finalizing and would stop it for good inside the SDK's
        // callback; that event is dropped, and the finalizing thread may call the SDK meanwhile.
        if (CSDK_UNLIKELY(!sdk::may_attach())) return sdk::let_others_in();
#else
    if (CSDK_LIKELY(sdk::depth > 0)) {
#endif
        sdk::handler_scope handler;
        return deliver_or_report(topic, data, len);
    }
    foreign_event(topic, data, len);
}

// ---- py_vqi_set_data_callback(pythonf, /) -----------------------------------------------------

site set_data_callback_site{};

// Binds `pythonf` to `f` (whatever it is: it is first looked at when an event arrives) and
// registers callback_wrapper with the SDK. The SDK is told on every call, also when the callback
// is registered already.
PyObject* set_data_callback(PyObject*, PyObject* pythonf) noexcept {
    if (CSDK_UNLIKELY(PyDict_SetItem(state.dict, globals::handler.name(), pythonf) < 0))
        return fail(set_data_callback_site);
    sdk::section in_sdk;
    if (CSDK_UNLIKELY(!in_sdk.entered())) return fail(set_data_callback_site);
    ++shapes::sdk_calls;
    vqi_set_event_callback_pb(callback_wrapper);  // its status says nothing the package uses
    in_sdk.leave();
    Py_RETURN_NONE;
}

int init_set_data_callback() noexcept {
    if (!failure_context) failure_context = PyUnicode_InternFromString("c_sdk.callback_wrapper");
    return failure_context ? 0 : -1;
}

constexpr shapes::shape set_data_callback_shape = {
    set_data_callback, nullptr, METH_O, &set_data_callback_site, "(pythonf, /)", init_set_data_callback,
};

// ---- the rows -----------------------------------------------------------------------------------

using namespace kinds;
using shapes::call;
using shapes::none_result;
using shapes::status_result;

const row rows[] = {
    {"py_vqi_set_data_callback", set_data_callback_shape, plain},

    // the run loop
    {"py_vqi_run", call<vqi_run, status_result>, plain},
    {"py_vqi_stop", call<vqi_stop, status_result>, plain},
    {"py_vqi_get_stop_error_code", call<vqi_get_stop_error_code, status_result>, plain},

    // timers
    {"py_vqi_set_timer", call<vqi_set_timer, none_result, integer<"interval">>, plain},
    {"py_vqi_schedule", call<vqi_schedule, status_result, text<"date_rule">, text<"time_rule">>, decorated},
    {"py_vqi_user_timer", call<vqi_user_timer, status_result, integer<"period">, integer<"start_delay">>, decorated},
    {"py_vqi_user_timer_stop", call<vqi_user_timer_stop, none_result, integer<"timer_id">>, decorated},
};

}  // namespace

const row_list event_rows = rows_of(rows);

}  // namespace csdk
