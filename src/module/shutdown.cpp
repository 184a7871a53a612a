#include "module/shutdown.hpp"

#include <atomic>

#include <unistd.h>

#include "module/ref.hpp"

namespace csdk::shutdown {
namespace {

// Set by the atexit callback: the interpreter is shutting down (still whole).
std::atomic<bool> closing{false};
// Set once Py_FinalizeEx is over.
std::atomic<bool> gone{false};

#if PY_VERSION_HEX >= 0x030F0000
// The interpreter that imported the module, for threads that have no thread state of it: taking
// it through the view holds a guard, which the interpreter's finalization waits for, and is
// refused once finalization has begun. Made at the first exec step and kept for the process.
std::atomic<PyInterpreterView*> view{nullptr};
#else
// Threads between their check of `closing` and giving the interpreter back. The check and the
// count are sequentially consistent: a thread either sees `closing`, or is counted before the
// atexit callback reads the count.
std::atomic<int> counted{0};
// Those of them that are this thread (an event delivered inside the handler of another).
thread_local int counted_here = 0;
#endif

void on_finalized() { gone.store(true); }

// atexit: no thread attaches for an event from now on, and those on their way finish first (the
// lock released meanwhile, which they need), for at most 5 s: a handler may itself wait for
// something that only comes later, or never (the SDK lock, held by a run loop that waits for its
// server); the shutdown then goes on, and such a thread is stopped where it attaches again.
PyObject* on_exit(PyObject*, PyObject*) noexcept {
    closing.store(true);
#if PY_VERSION_HEX < 0x030F0000
    int here = counted_here;
    if (counted.load() > here) {
        Py_BEGIN_ALLOW_THREADS
        for (int waited = 0; counted.load() > here && waited < 50000; ++waited) usleep(100);
        Py_END_ALLOW_THREADS
    }
#endif
    Py_RETURN_NONE;
}

PyMethodDef on_exit_def = {"c_sdk_shutdown", on_exit, METH_NOARGS, nullptr};

}  // namespace

bool attach(attachment& held) noexcept {
#if PY_VERSION_HEX >= 0x030F0000
    PyInterpreterView* of = view.load(std::memory_order_acquire);
    if (!of || closing.load()) return false;
    held.token = PyThreadState_EnsureFromView(of);
    if (!held.token) return false;
    // Taken after the interpreter was finalized and another made in its place: not ours.
    if (closing.load()) {
        PyThreadState_Release(held.token);
        return false;
    }
    return true;
#else
    counted.fetch_add(1);
    if (closing.load() || !Py_IsInitialized()) {
        counted.fetch_sub(1);
        return false;
    }
    ++counted_here;
    held.gil = PyGILState_Ensure();
    return true;
#endif
}

void detach(attachment& held) noexcept {
#if PY_VERSION_HEX >= 0x030F0000
    PyThreadState_Release(held.token);
#else
    PyGILState_Release(held.gil);
    --counted_here;
    counted.fetch_sub(1);
#endif
}

bool finalized() noexcept { return gone.load(); }

int watch() noexcept {
    static bool at_end = false, at_exit = false;
    if (!at_end) {
        if (Py_AtExit(on_finalized) < 0) {
            PyErr_SetString(PyExc_RuntimeError, "c_sdk: no room left for an exit function (Py_AtExit)");
            return -1;
        }
        at_end = true;
    }
#if PY_VERSION_HEX >= 0x030F0000
    if (!view.load()) {
        PyInterpreterView* current = PyInterpreterView_FromCurrent();
        if (!current) return -1;
        view.store(current, std::memory_order_release);
    }
#endif
    if (!at_exit) {
        ref atexit = ref::steal(PyImport_ImportModule("atexit"));
        ref hook = atexit ? ref::steal(PyCFunction_New(&on_exit_def, nullptr)) : ref{};
        ref done = hook ? ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get())) : ref{};
        if (!done) return -1;
        at_exit = true;
    }
    return 0;
}

}  // namespace csdk::shutdown
