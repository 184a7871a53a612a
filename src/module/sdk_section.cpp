#include "sdk_section.hpp"

#include <climits>
#include <cstdlib>
#include <cstring>

#if CSDK_SDK_LOCK
#  include <sched.h>
#  include <time.h>
#  if defined(__linux__)
#    include <linux/futex.h>
#    include <sys/syscall.h>
#    include <unistd.h>
#  endif
#  include "boundary.h"
#  include "ref.hpp"
#endif

namespace csdk::sdk {

#if CSDK_SDK_LOCK
mutex lock;
std::atomic<bool> unlocked{false};

namespace {

// The thread that finalizes the interpreter: its main thread (a fork's child: the forking one).
std::atomic<unsigned long> main_thread{0};

// How long a call waits for the SDK lock once the interpreter is finalizing.
constexpr long shutdown_wait_ms = 5000;

long long now_us() noexcept {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// How long a waiter waits before it is starving. Well above a wait for calls that come and go in
// turn, well below what a user would see as a stall.
constexpr long long starving_after_us = 5000;

// Sleeps while *word == value, at most `us` microseconds (a spurious return is fine).
void sleep_on(std::atomic<int>& word, int value, long long us) noexcept {
#if defined(__linux__)
    timespec timeout{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, value, &timeout, nullptr, 0);
#else
    (void)us;
    word.wait(value, std::memory_order_relaxed);
#endif
}

}  // namespace

bool mutex::lock_slow() noexcept {
    // A holder keeps the lock for one SDK call: spin a little (yielding the core after the first
    // rounds, for a holder the system has suspended) before sleeping, and again after each wake-up,
    // so that a thread that calls the SDK in a loop, and takes the lock back within a microsecond
    // of letting it go, cannot keep a woken waiter out for long. A thread that has slept takes the
    // lock marked "a thread may sleep on it": another sleeper may still be there.
    //
    // One that still has not had it after starving_after_us is starving: from then on the others
    // leave the lock to the starving (they wait, however they came), and a let-go wakes every
    // sleeper, so that a starving one is among them.
    int taken = 1;
    bool starving = false;
    long long started = now_us(), deadline = 0;
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            int expected = 0;
            if ((starving || starving_.load(std::memory_order_relaxed) == 0) &&
                word_.load(std::memory_order_relaxed) == 0 &&
                word_.compare_exchange_strong(expected, taken, std::memory_order_acquire, std::memory_order_relaxed)) {
                if (starving) starving_.fetch_sub(1, std::memory_order_relaxed);
                return true;
            }
            if (i < 16) __builtin_ia32_pause();
            else sched_yield();
        }
        long long now = now_us(), sleep_us = 100000;
        if (!starving && now - started >= starving_after_us) {
            starving = true;
            starving_.fetch_add(1, std::memory_order_relaxed);
        }
        if (Py_IsFinalizing()) {
            if (!deadline) deadline = now + shutdown_wait_ms * 1000;
            if (now >= deadline) {
                if (starving) starving_.fetch_sub(1, std::memory_order_relaxed);
                return false;
            }
            sleep_us = deadline - now;
        }
        if (!starving && starving_.load(std::memory_order_relaxed) != 0) {
            // Left to a starving waiter: it takes the lock within a let-go.
            timespec pause{0, 50000};
            nanosleep(&pause, nullptr);
            continue;
        }
        if (word_.exchange(2, std::memory_order_acquire) == 0) {
            if (starving) starving_.fetch_sub(1, std::memory_order_relaxed);
            return true;
        }
        sleep_on(word_, 2, sleep_us);
        taken = 2;
    }
}

void mutex::wake() noexcept {
    // With a starving waiter, every sleeper: a single one woken might be another, which leaves the
    // lock to the starving one and sleeps again.
    int n = starving_.load(std::memory_order_relaxed) ? INT_MAX : 1;
#if defined(__linux__)
    syscall(SYS_futex, reinterpret_cast<int*>(&word_), FUTEX_WAKE_PRIVATE, n, nullptr, nullptr, 0);
#else
    if (n == 1) word_.notify_one();
    else word_.notify_all();
#endif
}

void raise_not_taken() noexcept {
    PyErr_Format(PyExc_RuntimeError,
                 "the interpreter is shutting down and another thread has been inside the SDK for %ld s: "
                 "the SDK is not called",
                 shutdown_wait_ms / 1000);
}

bool may_attach() noexcept {
    return !Py_IsFinalizing() || PyThread_get_thread_ident() == main_thread.load(std::memory_order_relaxed);
}

void let_others_in() noexcept {
    bool waited_for = holding && lock.waited_for();
    give_back();
    // A sleeping waiter (the finalizing thread) gets a moment to wake and take it.
    for (int i = 0; waited_for && i < 1000 && lock.free(); ++i) {
        timespec pause{0, 10000};
        nanosleep(&pause, nullptr);
    }
    take();
}

namespace {

// os.register_at_fork's hooks. Before the fork the lock is taken (waiting detached, as any
// caller does); it is then held, attached, across the interpreter's own preparations, which is
// safe: every other thread waits for it detached, and none of them can be inside the SDK.
PyObject* before_fork(PyObject*, PyObject*) noexcept {
    if (!unlocked.load(std::memory_order_relaxed) && !holding_for_fork) {
        bool taken;
        Py_BEGIN_ALLOW_THREADS
        taken = lock.lock();  // false only at shutdown, after the bounded wait: fork anyway
        Py_END_ALLOW_THREADS
        holding_for_fork = taken;
    }
    Py_RETURN_NONE;
}

PyObject* after_fork_in_parent(PyObject*, PyObject*) noexcept {
    if (holding_for_fork) {
        holding_for_fork = false;
        lock.unlock();
    }
    Py_RETURN_NONE;
}

PyObject* after_fork_in_child(PyObject*, PyObject*) noexcept {
    holding_for_fork = false;
    holding = false;
    lock.reset();
    main_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyMethodDef fork_hooks[] = {
    {"before_fork", before_fork, METH_NOARGS, nullptr},
    {"after_fork_in_parent", after_fork_in_parent, METH_NOARGS, nullptr},
    {"after_fork_in_child", after_fork_in_child, METH_NOARGS, nullptr},
};

int register_fork_hooks() noexcept {
    ref os = ref::steal(PyImport_ImportModule("os"));
    ref reg = os ? ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork")) : ref{};
    if (!reg) return -1;
    ref before = ref::steal(PyCFunction_NewEx(&fork_hooks[0], nullptr, nullptr));
    ref parent = ref::steal(PyCFunction_NewEx(&fork_hooks[1], nullptr, nullptr));
    ref child = ref::steal(PyCFunction_NewEx(&fork_hooks[2], nullptr, nullptr));
    ref kw = ref::steal(PyDict_New());
    ref args = ref::steal(PyTuple_New(0));
    if (!before || !parent || !child || !kw || !args || PyDict_SetItemString(kw.get(), "before", before.get()) < 0 ||
        PyDict_SetItemString(kw.get(), "after_in_parent", parent.get()) < 0 ||
        PyDict_SetItemString(kw.get(), "after_in_child", child.get()) < 0)
        return -1;
    ref done = ref::steal(PyObject_Call(reg.get(), args.get(), kw.get()));
    return done ? 0 : -1;
}

// The main thread's identifier, as the interpreter knows it.
int find_main_thread() noexcept {
    ref thread = ref::steal(PyImport_ImportModule("_thread"));
    ref ident = thread ? ref::steal(PyObject_CallMethod(thread.get(), "_get_main_thread_ident", nullptr)) : ref{};
    if (!ident) return -1;
    unsigned long id = PyLong_AsUnsignedLong(ident.get());
    if (id == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    main_thread.store(id, std::memory_order_relaxed);
    return 0;
}

// The boundary offered to an SDK-side layer (boundary.h).
struct suspension {
    int depth;
    PyThreadState* state;
    bool attached;
};

void* suspend(int attach) noexcept {
    if (depth <= 0 || !detached || (attach && !may_attach())) return nullptr;
    auto* s = static_cast<suspension*>(std::malloc(sizeof(suspension)));
    if (!s) return nullptr;
    *s = {depth, detached, attach != 0};
    give_back();
    if (s->attached) {
        depth = 0;
        detached = nullptr;
        PyEval_RestoreThread(s->state);
    }
    return s;
}

void resume(void* token) noexcept {
    auto* s = static_cast<suspension*>(token);
    if (!s) return;
    if (s->attached) {
        detached = PyEval_SaveThread();
        depth = s->depth;
    }
    std::free(s);
    take();
}

constexpr csdk_boundary boundary = {sizeof(csdk_boundary), suspend, resume};

}  // namespace

int configure() noexcept {
    const char* v = std::getenv("CSDK_SDK_THREADSAFE");
    unlocked.store(v && std::strcmp(v, "1") == 0, std::memory_order_relaxed);
    if (find_main_thread() < 0) return -1;
    if (vqsdk_module_boundary) vqsdk_module_boundary(&boundary);
    return unlocked.load(std::memory_order_relaxed) ? 0 : register_fork_hooks();
}
#else
int configure() noexcept { return 0; }
#endif

}  // namespace csdk::sdk
