// The one rule the vendor's SDK was written for: its code runs on one thread at a time, the thread
// that called it from Python. With the interpreter lock that holds by itself, since no binding
// releases the lock around its SDK call. Without it (a free-threaded interpreter), a process-wide
// SDK lock keeps the promise, under one invariant: the SDK lock is only ever held by a thread that
// is detached from the interpreter. A thread never waits for it while attached and never attaches
// while holding it, so stop-the-world pauses (a collection, a fork), a fork's child and the
// interpreter's shutdown never wait on a thread that waits on the SDK lock:
//
//   - a binding converts its arguments, detaches, takes the lock, calls the SDK, copies what the
//     SDK handed back into memory of its own, lets the lock go, attaches again and only then
//     builds the Python objects (sdk::section);
//   - an event on a thread inside such a call lets the lock go, attaches, runs the handler,
//     detaches and takes the lock again before control goes back to the SDK (sdk::handler_scope),
//     so other threads' calls go through between two events;
//   - os.fork() takes the lock before the fork and gives it back in both processes, so no thread
//     is inside the SDK at that moment and the child can always call it;
//   - once the interpreter is finalizing, the lock is waited for a bounded time (a daemon thread
//     the shutdown has stopped may be inside the SDK for good) and the call then fails.
//
// The lock itself spins briefly, then sleeps; a thread that lets it go can take it straight back
// while a sleeper wakes (it is not handed to a particular waiter), so more SDK-calling threads
// than cores do not line up behind one another's wake-ups. Only a waiter that has waited longer
// than a bound (a thread calling in a loop keeps taking it back ahead of it) stops the others
// taking it until it has it: no thread waits for ever, whoever calls in a loop.
//
// On every build each thread counts how deep it is in SDK calls made through the module. An event
// that arrives on a thread with a non-zero count arrives inside such a call: on that thread the
// interpreter lock is held (or, free-threaded, the thread is detached and holds the SDK lock), and
// the event can go straight to the handler. The count is zero while a handler runs, so an event on
// any other thread, or on this one from anything but the module's own SDK call, takes the general
// way (the thread-state API), which is right whatever else the process did.
#pragma once
#include <Python.h>

#include <atomic>

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

// The process-wide SDK lock: 0 free, 1 held, 2 held and a thread may sleep on it. A waiter that
// has waited longer than a bound is starving: until it has the lock, no other thread takes it.
class mutex {
public:
    bool try_lock() noexcept {
        int expected = 0;
        return starving_.load(std::memory_order_relaxed) == 0 &&
               word_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed);
    }
    // Waits as long as it takes; once the interpreter is finalizing, for a bounded time. False:
    // not taken (only then).
    bool lock() noexcept { return CSDK_LIKELY(try_lock()) || lock_slow(); }
    void unlock() noexcept {
        if (CSDK_UNLIKELY(word_.exchange(0, std::memory_order_release) == 2)) wake();
    }
    // In a fork's child: the forking thread is the only one left, and it held the lock.
    void reset() noexcept {
        word_.store(0, std::memory_order_relaxed);
        starving_.store(0, std::memory_order_relaxed);
    }
    bool free() const noexcept { return word_.load(std::memory_order_relaxed) == 0; }
    // Held, and a thread may sleep on it.
    bool waited_for() const noexcept { return word_.load(std::memory_order_relaxed) == 2; }

private:
    CSDK_COLD bool lock_slow() noexcept;
    CSDK_COLD void wake() noexcept;
    std::atomic<int> word_{0};
    std::atomic<int> starving_{0};  // how many waiters are starving
};

extern mutex lock;
// Opt-out for an SDK that is thread-safe (CSDK_SDK_THREADSAFE=1 in the environment at import):
// calls still detach, but take no lock.
extern std::atomic<bool> unlocked;

// The calling thread's state while it is inside an SDK call made through the module: its thread
// state (detached; null outside such a call and while a handler runs) and whether it holds the
// SDK lock.
inline constinit CSDK_THREAD_LOCAL PyThreadState* detached = nullptr;
inline constinit CSDK_THREAD_LOCAL bool holding = false;
// The thread took the lock for os.fork() (between the fork's before and after hooks).
inline constinit CSDK_THREAD_LOCAL bool holding_for_fork = false;

inline bool take() noexcept {
    if (unlocked.load(std::memory_order_relaxed) || holding_for_fork) return true;
    return holding = lock.lock();
}
inline void give_back() noexcept {
    if (holding) {
        holding = false;
        lock.unlock();
    }
}

// Raises the error of a call that could not have the SDK lock (attached again).
CSDK_COLD void raise_not_taken() noexcept;

// Around one SDK call: detached and holding the SDK lock from construction to leave(), which
// lets the lock go and attaches again (the destructor does, if leave() was not called).
class section {
public:
    section() noexcept : outer_(detached) {
        ++depth;
        detached = PyEval_SaveThread();
        taken_ = take();
    }
    // False: the lock could not be had (the interpreter is finalizing); the SDK must not be
    // called, and the thread is attached again with the exception set.
    bool entered() noexcept {
        if (CSDK_LIKELY(taken_)) return true;
        leave();
        raise_not_taken();
        return false;
    }
    void leave() noexcept {
        if (left_) return;
        left_ = true;
        give_back();
        PyThreadState* mine = detached;
        detached = outer_;
        --depth;
        PyEval_RestoreThread(mine);
    }
    ~section() { leave(); }
    section(const section&) = delete;
    section& operator=(const section&) = delete;

private:
    PyThreadState* outer_;
    bool taken_;
    bool left_ = false;
};

// Whether an event on this thread may attach to run its handler: not once the interpreter is
// finalizing, unless this is the thread that finalizes it (any other thread that attaches then is
// stopped for good by the interpreter, here inside the SDK's own callback).
bool may_attach() noexcept;

// Around a handler's Python code, on a thread inside an SDK call (detached, holding the SDK
// lock): the lock let go, the thread attached and its count zero for as long as the handler runs;
// then detached with the lock taken again.
class handler_scope {
public:
    handler_scope() noexcept : depth_(depth), state_(detached) {
        give_back();
        depth = 0;
        detached = nullptr;
        PyEval_RestoreThread(state_);
    }
    ~handler_scope() {
        detached = PyEval_SaveThread();
        depth = depth_;
        take();  // at shutdown, after the bounded wait, the SDK goes on without it
    }
    handler_scope(const handler_scope&) = delete;
    handler_scope& operator=(const handler_scope&) = delete;

private:
    int depth_;
    PyThreadState* state_;
};

// An event that cannot be handed to the handler (may_attach() said no): the lock is let go and
// taken again, so the thread finalizing the interpreter can call the SDK between two events.
void let_others_in() noexcept;

#else
#  define CSDK_SDK_LOCK 0

// Around one SDK call. With the interpreter lock, the count covers the SDK call alone: what
// follows it may run Python code.
class section {
public:
    section() noexcept { ++depth; }
    static constexpr bool entered() noexcept { return true; }
    void leave() noexcept { --depth; }
    section(const section&) = delete;
    section& operator=(const section&) = delete;
};

// Around a handler's Python code, on a thread inside an SDK call: the count is zero for as long
// as the handler runs.
class handler_scope {
public:
    handler_scope() noexcept : saved_(depth) { depth = 0; }
    ~handler_scope() { depth = saved_; }
    handler_scope(const handler_scope&) = delete;
    handler_scope& operator=(const handler_scope&) = delete;

private:
    int saved_;
};
#endif

// Reads the opt-out and, free-threaded, registers the fork hooks (exec step).
int configure() noexcept;

}  // namespace csdk::sdk
