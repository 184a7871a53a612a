// What the recorder asks of the Python interpreter it runs in: the success status the module
// compares each query's status with, the Python stack of a diverging call, and the interpreter
// lock around a replay's wait. The library is not linked with libpython: the interpreter's
// functions are looked up in the process (dlsym) when the library starts, and each question is
// asked only on a thread that holds the interpreter lock; anywhere else the answer is "unknown".
#pragma once

#include <string>

namespace rec::py {

void init() noexcept;  // looks the interpreter's functions up; nothing when there is none

// The calling thread holds the lock of the main interpreter (read from the interpreter's own
// thread state, which stays right whatever else the process did).
bool holds_lock() noexcept;

// CSDK_OPERATE_SUCCESS as the module looks it up before an SDK call: the c_sdk module's
// namespace, then the builtins.
struct Success {
    enum class State : unsigned char { unknown, number, never, object };
    State state = State::unknown;
    long number = 0;         // number: an exact int, compared as a number
    void* object = nullptr;  // object: anything else, held for the call and compared by Python equality
};
Success success(const char** why) noexcept;

// Whether the module reads the out-parameters of a call that returned `status`: status ==
// success (`address`: not status != success, as the module asks for vqi_get_serv_addr). An
// object success is compared by Python equality (the pending exception kept as it was), and
// released; a comparison that raised or that called the SDK again (`sdk_calls` changed) reads
// nothing.
bool reads_outs(Success& s, int status, bool address, const unsigned long& sdk_calls) noexcept;
void release(Success& s) noexcept;

// The Python stack of the calling thread, most recent call last, one "File ..., line N, in f"
// per line; or why there is none.
std::string stack(const char* indent);

// Lets go of the interpreter lock while the calling thread waits (null: it did not hold it),
// and takes it back.
void* release_lock() noexcept;
void reacquire_lock(void* state) noexcept;

}  // namespace rec::py
