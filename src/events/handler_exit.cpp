// SystemExit raised by a handler, on whatever thread.
//
// The process ends as it would had the main thread's own code raised it: the caller has stopped
// the SDK's run loop, and the main thread raises the very exception at its next chance (a pending
// call: on the main thread itself, right after the SDK call it was in returns), so that its own
// code unwinds, atexit handlers run, buffered files are flushed and the exit status is the
// exception's. Exiting from inside the handler instead would leave the frames below it, and the
// files they hold, unwritten; off the main thread the interpreter's exit would wait for the very
// thread that exits. A main thread that does not take it within a bounded time (blocked in
// native code, or waiting for something that never comes) cannot be made to: the process then
// ends from a thread of the module's own, once Python's buffered files are flushed (within a
// bounded time too), with the status the interpreter would give an uncaught SystemExit.
#include "events/handler_exit.hpp"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "module/compat.hpp"
#include "module/errors.hpp"
#include "module/ref.hpp"

namespace csdk::events {
namespace {

constexpr long main_thread_wait_ms = 5000;  // for the main thread to take the exception
constexpr long flush_wait_ms = 5000;        // for the buffered files to be flushed after that

// Each request to the main thread has a generation; `taken` is the last one it took. A SystemExit
// raised while one is pending is the same end; one raised after the main thread took it (in a
// handler the SDK delivered before it stopped) is asked for again.
std::atomic<unsigned> generation{0};
std::atomic<unsigned> taken{0};
std::atomic<bool> pending{false};
std::atomic<bool> flushed{false};
int exit_status = 0;
// The exception for the main thread, in storage of the module's own (no heap, so the module needs
// nothing of the C++ runtime); set while `pending`, until the main thread takes it.
alignas(compat::saved_exception) unsigned char exit_storage[sizeof(compat::saved_exception)];
compat::saved_exception* exit_exception = nullptr;
PyObject* printed_code = nullptr;                   // a code that is printed rather than a number

void sleep_ms(long ms) noexcept {
    timespec t{ms / 1000, (ms % 1000) * 1000000};
    nanosleep(&t, nullptr);
}

// Waits up to `ms` for `done()`.
template <class Done>
bool wait_for(long ms, Done done) noexcept {
    for (long waited = 0; waited < ms; waited += 10) {
        if (done()) return true;
        sleep_ms(10);
    }
    return done();
}

// The pending call, on the main thread.
// The exception is taken before `pending` is cleared: a handler's next SystemExit may then store
// its own.
int raise_on_main(void*) noexcept {
    compat::saved_exception* held = exit_exception;
    exit_exception = nullptr;
    if (held) {
        held->restore_copy();
        held->~saved_exception();
    }
    taken.store(generation.load());
    pending.store(false);
    return held ? -1 : 0;
}

CSDK_COLD void flush_all(PyObject* objects, PyObject* kinds) noexcept {
    Py_ssize_t n = PyList_GET_SIZE(objects);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* o = PyList_GET_ITEM(objects, i);
        if (PyObject_IsInstance(o, kinds) == 1) ref done = ref::steal(PyObject_CallMethod(o, "flush", nullptr));
        PyErr_Clear();  // a closed file, a broken flush: the others still go
    }
}

// Every text file first (into its buffer), then every buffered binary file, the standard streams
// among them; the number or text that ends the process as the interpreter would print it.
CSDK_COLD void flush_python_files() noexcept {
    ref gc = ref::steal(PyImport_ImportModule("gc"));
    ref io = ref::steal(PyImport_ImportModule("io"));
    ref objects = gc ? ref::steal(PyObject_CallMethod(gc.get(), "get_objects", nullptr)) : ref{};
    if (io && objects && PyList_Check(objects.get())) {
        ref text = ref::steal(PyObject_GetAttrString(io.get(), "TextIOBase"));
        ref buffered = ref::steal(PyObject_GetAttrString(io.get(), "BufferedIOBase"));
        if (text) flush_all(objects.get(), text.get());
        if (buffered) flush_all(objects.get(), buffered.get());
    }
    PyErr_Clear();
    if (printed_code) {
        ref err = ref::steal(compat::sys_get("stderr"));
        if (err && err.get() != Py_None && PyFile_WriteObject(printed_code, err.get(), Py_PRINT_RAW) == 0) {
            PyFile_WriteString("\n", err.get());
            ref done = ref::steal(PyObject_CallMethod(err.get(), "flush", nullptr));
        }
        PyErr_Clear();
    }
}

void* flusher(void*) noexcept {
    if (!compat::finalize_begun()) {
        PyGILState_STATE gil = PyGILState_Ensure();
        flush_python_files();
        PyGILState_Release(gil);
    }
    flushed.store(true);
    return nullptr;
}

void* watchdog(void* asked) noexcept {
    unsigned mine = static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(asked));
    if (wait_for(main_thread_wait_ms, [&] { return taken.load() - mine < 1u << 31 || compat::finalize_begun(); }))
        return nullptr;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, flusher, nullptr) == 0) {
        pthread_detach(thread);
        wait_for(flush_wait_ms, [] { return flushed.load(); });
    }
    std::fflush(nullptr);
    quick_exit(exit_status);  // at_quick_exit handlers run (the session recorder writes its end)
}

// The status the interpreter gives an uncaught SystemExit: None: 0, an int: that number,
// anything else: printed, 1.
void take_code(PyObject* exception) noexcept {
    Py_CLEAR(printed_code);
    ref code = exception ? ref::steal(PyObject_GetAttrString(exception, "code")) : ref{};
    PyErr_Clear();
    if (!code || code.get() == Py_None) {
        exit_status = 0;
    } else if (PyLong_Check(code.get())) {
        exit_status = static_cast<int>(PyLong_AsLong(code.get()));
        PyErr_Clear();
    } else {
        exit_status = 1;
        printed_code = code.release();
    }
}

}  // namespace

void exit_from_handler() noexcept {
    compat::saved_exception raised;
    raised.fetch();
    if (pending.exchange(true)) {  // the main thread has not taken the last one yet
        raised.restore_copy();
        return;
    }
    unsigned asked = generation.load() + 1;
    take_code(raised.value_object());
    if (exit_exception) exit_exception->~saved_exception();
    exit_exception = new (exit_storage) compat::saved_exception;
    raised.restore_copy();
    exit_exception->fetch();
    raised.restore_copy();
    generation.store(asked);
    pthread_t thread;
    bool watched = pthread_create(&thread, nullptr, watchdog, reinterpret_cast<void*>(std::uintptr_t{asked})) == 0;
    if (watched) pthread_detach(thread);
    if (Py_AddPendingCall(raise_on_main, nullptr) < 0 || !watched) {
        // The main thread cannot be asked: the process ends here, as it would have from the watchdog.
        flush_python_files();
        std::fflush(nullptr);
        quick_exit(exit_status);
    }
}

}  // namespace csdk::events
