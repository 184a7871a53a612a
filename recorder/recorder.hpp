// Internals of the session recorder: the function table, the values a record holds, and the
// one path every exported SDK function takes (through), which records and forwards a call, or
// answers it from a recorded session.
#pragma once

#include <vqsdk/vqsdk.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>

#include "functions.h"
#include "python.hpp"

namespace rec {

enum class Fn : std::uint16_t {
#define REC_ENUM(name, shape) name,
    STANDIN_FUNCTIONS(REC_ENUM)
#undef REC_ENUM
};
#define REC_COUNT(name, shape) +1
inline constexpr int function_count = 0 STANDIN_FUNCTIONS(REC_COUNT);
#undef REC_COUNT

// One argument or result as a record holds it.
struct Bytes { const char* p; int len; };  // a buffer and its length (request bytes)
struct Text { const char* p; };            // a NUL-terminated text
struct Out { const void* p; };             // an out-parameter: only whether it is null
struct Ptr { const void* p; };             // a reserved pointer or the callback: null or not

struct V {
    enum class K : std::uint8_t { none, bytes, text, out, pointer, integer, real, boolean };
    K k = K::none;
    const char* p = nullptr;
    long long i = 0;
    double d = 0;
    V() = default;
    V(Bytes b) : k(K::bytes), p(b.p), i(b.len) {}
    V(Text t) : k(K::text), p(t.p) {}
    V(const char* t) : k(K::text), p(t) {}
    V(Out o) : k(K::out), p(static_cast<const char*>(o.p)) {}
    V(Ptr o) : k(K::pointer), p(static_cast<const char*>(o.p)) {}
    V(int v) : k(K::integer), i(v) {}
    V(long long v) : k(K::integer), i(v) {}
    V(double v) : k(K::real), d(v) {}
    template <class B>
        requires std::is_same_v<B, bool>
    V(B v) : k(K::boolean), i(v) {}
};

// The out-parameters a call fills in: a response buffer and its length, or a text.
struct Outs {
    char** res = nullptr;
    int* res_len = nullptr;
    char** addr = nullptr;
};

enum class Mode { off, record, replay };
Mode mode() noexcept;
void* real(Fn f) noexcept;  // the vendor library's function (record mode), null if missing

// Record mode. record_call answers whether the recording is on. For a call with out-parameters
// the module's success status is taken before the call, as the module takes it; record_return
// records the out-parameters only when the module reads them (outs_read: the status says the
// call succeeded), as the SDK owns them only then.
bool record_call(Fn f, std::initializer_list<V> args) noexcept;
void record_return(Fn f, V ret, const Outs& outs, bool outs_read) noexcept;
// SDK calls made on this thread while recording: a success test that runs Python code reads
// nothing when it called the SDK again.
extern constinit __attribute__((tls_model("initial-exec"))) thread_local unsigned long t_sdk_calls;
void unknown_success(const char* why) noexcept;  // says once that responses are not recorded, and why

inline bool has_outs(const Outs& o) noexcept { return o.res || o.res_len || o.addr; }

inline py::Success success_before_call() noexcept {
    const char* why = "";
    py::Success s = py::success(&why);
    if (s.state == py::Success::State::unknown) unknown_success(why);
    return s;
}

// Replay mode: matches the call against the recording (stopping the process with a report when
// it diverges), delivers the events recorded inside it, fills in the out-parameters, and returns
// the recorded return value.
// `returns`: the tag the return value must have ('v' void, 'i' int, 'l' long long, 'f' double,
// 't' a text), checked with the value in the type it is returned as.
V replay_call(Fn f, std::initializer_list<V> args, const Outs& outs, char returns) noexcept;

template <class R>
constexpr char return_tag() noexcept {
    if constexpr (std::is_void_v<R>) return 'v';
    else if constexpr (std::is_pointer_v<R>) return 't';
    else if constexpr (std::is_same_v<R, int>) return 'i';
    else if constexpr (std::is_same_v<R, double>) return 'f';
    else return 'l';
}

void fill_failed(const Outs& outs) noexcept;

template <class R>
R failed_value() noexcept {
    if constexpr (std::is_void_v<R>) return;
    else if constexpr (std::is_pointer_v<R>) return nullptr;
    else if constexpr (std::is_same_v<R, int>) return -1;
    else return R{};
}

// The out-parameters of a call copied, for a success test that runs Python code: meanwhile
// another thread may call the SDK, which owns them only until then.
class KeptOuts {
public:
    explicit KeptOuts(const Outs& o) noexcept : given_(o) {
        if (o.res && *o.res && o.res_len && *o.res_len > 0) res_text_.assign(*o.res, std::size_t(*o.res_len));
        res_ = o.res && *o.res ? res_text_.data() : nullptr;
        len_ = o.res_len ? *o.res_len : 0;
        if (o.addr && *o.addr) addr_text_ = *o.addr;
        addr_ = o.addr && *o.addr ? addr_text_.data() : nullptr;
    }
    Outs outs() noexcept {
        return {given_.res ? &res_ : nullptr, given_.res_len ? &len_ : nullptr, given_.addr ? &addr_ : nullptr};
    }

private:
    Outs given_;
    std::string res_text_, addr_text_;
    char* res_;
    int len_;
    char* addr_;
};

template <class R, class Invoke>
R through(Fn f, std::initializer_list<V> args, Outs outs, Invoke invoke) noexcept {
    const bool outs_given = has_outs(outs);  // before any call: known at compile time for most functions
    switch (mode()) {
    case Mode::record:
        if (real(f)) {
            bool on = record_call(f, args);
            py::Success success;
            if (on && outs_given) success = success_before_call();
            if constexpr (std::is_void_v<R>) {
                invoke();
                record_return(f, V(), outs, false);
                return;
            } else {
                R r = invoke();
                bool read = false;
                if (on && outs_given) {
                    if constexpr (std::is_same_v<R, int>) {
                        if (success.state == py::Success::State::object) {
                            KeptOuts kept(outs);
                            read = py::reads_outs(success, r, outs.addr != nullptr, t_sdk_calls);
                            record_return(f, V(r), kept.outs(), read);
                            return r;
                        }
                        read = py::reads_outs(success, r, outs.addr != nullptr, t_sdk_calls);
                    } else {
                        py::release(success);
                    }
                }
                record_return(f, V(r), outs, read);
                return r;
            }
        }
        break;
    case Mode::replay: {
        V r = replay_call(f, args, outs, return_tag<R>());
        if constexpr (std::is_void_v<R>) return;
        else if constexpr (std::is_pointer_v<R>) return r.p;
        else if constexpr (std::is_same_v<R, double>) return r.d;
        else return static_cast<R>(r.i);
    }
    case Mode::off:
        break;
    }
    fill_failed(outs);
    return failed_value<R>();
}

// The event callback: the module's, which the trampoline (record mode) or the replay calls.
void set_callback(vqi_event_callback cb) noexcept;
vqi_event_callback trampoline_for(vqi_event_callback cb) noexcept;

}  // namespace rec
