// The one rule the vendor's SDK was written for: its code runs on one thread at a time, the thread
// that called it from Python. With the interpreter lock that holds by itself, since no binding
// releases the lock around its SDK call. Without it (a free-threaded interpreter), a process-wide
// SDK lock keeps the promise:
//
//   - every SDK call the module makes holds it, from the call until its result has been copied
//     into Python objects (the SDK owns its response buffers and returned texts until it is called
//     again, by any thread);
//   - it is re-entrant for the thread that holds it: a handler that calls a binding inside vqi_run
//     runs on the thread already inside the SDK;
//   - it is let go while a handler runs Python code, and taken again before control goes back to
//     the SDK, so other threads' calls go through between two events;
//   - it is waited for with the interpreter's own mutex, which detaches the waiting thread, so a
//     thread waiting for the SDK never stops the interpreter from stopping the world (a garbage
//     collection, for one).
//
// On every build each thread counts how deep it is in SDK calls made through the module. An event
// that arrives on a thread with a non-zero count arrives inside such a call: on that thread the
// interpreter lock (or, free-threaded, the attached thread state) is held, and the event can go
// straight to the handler. The count is zero while a handler runs, so an event on any other thread,
// or on this one from anything but the module's own SDK call, takes the general way (the
// thread-state API), which is right whatever else the process did.
#pragma once
#include <Python.h>

#include "errors.hpp"

// Initial-exec: a thread-local read or write is one instruction off the thread pointer, with no
// call into the dynamic loader's lookup.
#define CSDK_THREAD_LOCAL thread_local __attribute__((tls_model("initial-exec")))

namespace csdk::sdk {

// How many SDK calls made through the module this thread is inside (0 while a handler runs).
// Constant-initialized, so no TLS init wrapper is called on access.
inline constinit CSDK_THREAD_LOCAL int depth = 0;

#ifdef Py_GIL_DISABLED
#  define CSDK_SDK_LOCK 1
extern PyMutex lock;
// Opt-out for an SDK that is thread-safe (CSDK_SDK_THREADSAFE=1 in the environment at import).
extern bool unlocked;

inline void enter() noexcept {
    if (depth++ == 0 && !unlocked) PyMutex_Lock(&lock);
}
inline void leave() noexcept {
    if (--depth == 0 && !unlocked) PyMutex_Unlock(&lock);
}
#else
#  define CSDK_SDK_LOCK 0
#endif

// Around one SDK call. With the interpreter lock, the count covers the SDK call alone: what
// follows it may run Python code. Free-threaded, the SDK lock is held until the scope ends, after
// the result has been copied.
class scope {
public:
#if CSDK_SDK_LOCK
    scope() noexcept { enter(); }
    ~scope() { leave(); }
    void called() noexcept {}
#else
    scope() noexcept { ++depth; }
    void called() noexcept { --depth; }
#endif
    scope(const scope&) = delete;
    scope& operator=(const scope&) = delete;
};

// Around a handler's Python code, on a thread inside an SDK call: the count is zero and (free-
// threaded) the SDK lock is let go, for as long as the handler runs.
class handler_scope {
public:
    handler_scope() noexcept : saved_(depth) {
        depth = 0;
#if CSDK_SDK_LOCK
        if (!unlocked) PyMutex_Unlock(&lock);
#endif
    }
    ~handler_scope() {
#if CSDK_SDK_LOCK
        if (!unlocked) PyMutex_Lock(&lock);
#endif
        depth = saved_;
    }
    handler_scope(const handler_scope&) = delete;
    handler_scope& operator=(const handler_scope&) = delete;

private:
    int saved_;
};

// Reads the opt-out (exec step).
void configure() noexcept;

}  // namespace csdk::sdk
