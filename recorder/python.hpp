// What the recorder asks of the Python interpreter it runs in: the success status the module
// compares each query's status with, the Python stack of a diverging call, and the interpreter
// lock around a replay's wait. The library is not linked with libpython: the interpreter's
// functions are looked up in the process (dlsym) when the library starts, and each question is
// asked only on a thread that holds the interpreter lock; anywhere else the answer is "unknown".
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace rec::py {

void init() noexcept;  // looks the interpreter's functions up; nothing when there is none

// The calling thread holds the lock of the main interpreter (read from the interpreter's own
// thread state, which stays right whatever else the process did).
bool holds_lock() noexcept;

// CSDK_OPERATE_SUCCESS as the module looks it up before an SDK call: the c_sdk module's
// namespace, then the builtins.
struct Success {  // 16 bytes: returned in registers
    enum class State : unsigned char { unknown, number, never, object };
    State state = State::unknown;
    union {
        long number = 0;  // number: an exact int, compared as a number
        void* object;     // object: anything else, held for the call and compared by Python equality
    };
};
Success looked_up(const char** why) noexcept;

// The last answer, while neither namespace changed since: each dict's version tag (PEP 509,
// the field after ma_used in every supported interpreter) changes with every change of the dict.
struct Remembered {
    const char* namespace_dict = nullptr;  // null: nothing remembered (or no version tags to read)
    const char* builtins_dict = nullptr;
    std::uint64_t namespace_tag = 0, builtins_tag = 0;
    Success as;  // a number, or never
};
extern Remembered g_remembered;

inline std::uint64_t version_tag(const char* dict) noexcept {
    std::uint64_t tag;
    std::memcpy(&tag, dict + 3 * sizeof(void*), sizeof tag);  // PyObject_HEAD, ma_used, ma_version_tag
    return tag;
}

inline Success success(const char** why) noexcept {
    const Remembered& r = g_remembered;
    if (r.namespace_dict && version_tag(r.namespace_dict) == r.namespace_tag &&
        version_tag(r.builtins_dict) == r.builtins_tag)
        return r.as;
    return looked_up(why);
}

// Whether the module reads the out-parameters of a call that returned `status`: status ==
// success (`address`: not status != success, as the module asks for vqi_get_serv_addr). An
// object success is compared by Python equality (the pending exception kept as it was), and
// released; a comparison that raised or that called the SDK again (`sdk_calls` changed) reads
// nothing.
bool compared(Success& s, int status, bool address, const unsigned long& sdk_calls) noexcept;
inline bool reads_outs(Success& s, int status, bool address, const unsigned long& sdk_calls) noexcept {
    if (s.state == Success::State::number) return status == s.number;
    return compared(s, status, address, sdk_calls);
}
void release(Success& s) noexcept;

// The Python stack of the calling thread, most recent call last, one "File ..., line N, in f"
// per line; or why there is none.
std::string stack(const char* indent);

// Flushes sys.stdout and sys.stderr, when the calling thread holds the interpreter lock (what
// goes wrong is left unsaid: the process is ending).
void flush_streams() noexcept;

// Lets go of what the calling thread holds while it waits for another thread that may call the
// SDK (the interpreter lock, or the free-threaded module's SDK lock), and takes it back.
struct Released {
    void* interpreter;  // the thread state, if the thread held the interpreter lock
    void* sdk;          // the module's token, if it held the module's SDK lock
};
Released release_lock() noexcept;
void reacquire_lock(Released held) noexcept;

}  // namespace rec::py
