// The interpreter's shutdown, as the module's threads see it.
//
// An SDK thread that delivers an event takes the interpreter for it. Once the interpreter has
// begun to finalize, a thread that attaches is parked for good (3.14 and newer; before, it was
// ended where it stood), and a check of Py_IsFinalizing() before attaching leaves a window in
// which finalization can begin. So the threads are counted in before they check, and the
// interpreter's shutdown waits for those counted in (an atexit callback, which runs while the
// interpreter is still whole) before it goes on; from 3.15 an interpreter guard (PEP 788) does
// the same. A thread that comes later drops its event and returns.
//
// The module's state lives in process-wide statics made for the first interpreter; they cannot
// serve a second one made after Py_Finalize (an embedder that initializes again): that import is
// refused (module.cpp).
#pragma once
#include <Python.h>

namespace csdk::shutdown {

// The interpreter for an event of a thread that may hold no lock, taken by attach() and given back
// by detach().
struct attachment {
#if PY_VERSION_HEX >= 0x030F0000
    PyThreadStateToken* token = nullptr;
#else
    PyGILState_STATE gil{};
#endif
};

// Takes the interpreter for this thread (it may hold it already): true, or false without taking
// anything once the interpreter that imported the module is shutting down or gone.
bool attach(attachment& held) noexcept;
void detach(attachment& held) noexcept;

// Whether the interpreter that imported the module has been finalized: nothing of the module's
// state may be used any more.
bool finalized() noexcept;

// The exec step: the hooks that tell the module about the shutdown (once per process).
int watch() noexcept;

}  // namespace csdk::shutdown
