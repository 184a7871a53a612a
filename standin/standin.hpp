// Internals of the stand-in shared by its sources: the function table, the call record every
// SDK function starts with, the ways to answer, the event queue, and the hooks through which
// a mode can take over part of the SDK's behaviour.
#pragma once

#include <vqsdk/vqsdk.h>

#include <atomic>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "functions.h"
#include "standin_control.h"

namespace standin {

enum class Fn : std::uint16_t {
#define STANDIN_ENUM(name, shape) name,
    STANDIN_FUNCTIONS(STANDIN_ENUM)
#undef STANDIN_ENUM
};
#define STANDIN_COUNT(name, shape) +1
inline constexpr int function_count = 0 STANDIN_FUNCTIONS(STANDIN_COUNT);
#undef STANDIN_COUNT

const char* name_of(Fn fn) noexcept;

// ---- One call ---------------------------------------------------------------------------------

// One native argument as the call log records it.
struct Bytes { const char* p; int len; };  // a request buffer: its first len bytes
struct Text { const char* p; };            // a NUL-terminated text
struct OutText { char* const* p; };        // a char ** out-parameter
struct OutLen { const int* p; };           // an int * out-parameter
struct Pointer { bool nonnull; };          // a pointer recorded as null / not null only

struct Arg {
    enum class Kind : std::uint8_t { bytes, text, out_text, out_len, pointer, integer, real, boolean };
    Kind kind;
    union {
        Bytes bytes;
        Text text;
        OutText out_text;
        OutLen out_len;
        Pointer pointer;
        int integer;
        double real;
        bool boolean;
    };
    Arg(Bytes v) noexcept : kind(Kind::bytes), bytes(v) {}
    Arg(Text v) noexcept : kind(Kind::text), text(v) {}
    Arg(OutText v) noexcept : kind(Kind::out_text), out_text(v) {}
    Arg(OutLen v) noexcept : kind(Kind::out_len), out_len(v) {}
    Arg(Pointer v) noexcept : kind(Kind::pointer), pointer(v) {}
    Arg(int v) noexcept : kind(Kind::integer), integer(v) {}
    Arg(double v) noexcept : kind(Kind::real), real(v) {}
    template <class B>
        requires std::same_as<B, bool>  // no pointer or number slipping in as a bool
    Arg(B v) noexcept : kind(Kind::boolean), boolean(v) {}
};

// A function's script, as one call sees it (fields as in standin_script).
struct Script {
    unsigned fields = 0;
    int status = 0;
    bool null_response = false;
    std::string response;
    int res_len = 0;
    bool null_text = false;
    std::string text;
    long long int_value = 0;
    double real_value = 0;
    long long delay_ns = 0;
};

// ---- Threads inside SDK code ----------------------------------------------------------------

// How many threads are inside SDK functions at once, and the most seen (standin_inside_max). A
// thread counts from its outermost entry into an exported SDK function to its exit, except while
// the library has handed an event to the registered callback: that is the caller's code running,
// and SDK calls a handler makes are entries of their own. The depth is per thread, so that one
// thread's nesting never counts as a second thread; the shared counter changes only on a thread's
// outermost entry and exit. Counted while recording is on: with it off (benchmarks) a call pays
// one test of a flag on its own stack.
inline constinit thread_local int t_inside_depth [[gnu::tls_model("initial-exec")]] = 0;
extern std::atomic<int> g_inside;
extern std::atomic<int> g_inside_max;
[[gnu::cold, gnu::noinline]] void note_inside(int now) noexcept;

inline void enter_sdk() noexcept {
    if (t_inside_depth++ == 0) {
        int now = g_inside.fetch_add(1, std::memory_order_relaxed) + 1;
        if (now > g_inside_max.load(std::memory_order_relaxed)) [[unlikely]] note_inside(now);
    }
}
inline void leave_sdk() noexcept {
    if (--t_inside_depth == 0) g_inside.fetch_sub(1, std::memory_order_relaxed);
}

// A call's stay inside SDK code, from enter() to the end of the call.
class Inside {
public:
    Inside() noexcept = default;
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;
    ~Inside() {
        if (counted_) leave_sdk();
    }
    void enter() noexcept {
        if (!counted_) {
            counted_ = true;
            enter_sdk();
        }
    }

private:
    bool counted_ = false;
};

// Every SDK function starts by constructing a Call: it records the call (when recording is on)
// and takes the script in effect for this call, if any.
class Call {
public:
    Call(Fn fn, std::initializer_list<Arg> args = {});
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    Fn fn() const noexcept { return fn_; }
    bool has(unsigned field) const noexcept { return (script_.fields & field) != 0; }
    const Script& script() const noexcept { return script_; }
    // The scripted status, else `otherwise` (by default: the default status).
    int status() const noexcept;
    int status(int otherwise) const noexcept { return has(STANDIN_STATUS) ? script_.status : otherwise; }

private:
    Inside inside_;  // destroyed last: the call is inside SDK code to its very end
    Fn fn_;
    Script script_;
};

// ---- Answers ----------------------------------------------------------------------------------

// Answers a query call: the scripted response, else the concatenation of `parts`; *res_len as
// scripted, else the response's size. Returns `status`.
int reply(const Call& call, int status, std::initializer_list<std::string_view> parts, char** res,
          int* res_len);
// The scripted text (or null), else the concatenation of `fallback`, NUL-terminated, in storage
// kept until the thread's next call.
const char* reply_text(const Call& call, std::initializer_list<std::string_view> fallback);

// Views of arguments that tolerate null pointers and negative lengths (seen as empty).
inline std::string_view view(const char* text) noexcept { return text ? std::string_view(text) : std::string_view(); }
inline std::string_view view(const char* p, int len) noexcept {
    return p && len > 0 ? std::string_view(p, static_cast<std::size_t>(len)) : std::string_view();
}

// ---- Events -----------------------------------------------------------------------------------

// Takes the next queued event and hands it to the registered callback (dropped when none is
// registered). False when the queue is empty. Holds no lock while the callback runs.
bool deliver_next();
void register_callback(vqi_event_callback callback) noexcept;
// vqi_stop's flag: set by vqi_stop, cleared when vqi_run starts.
void request_stop(bool on) noexcept;
bool stop_requested() noexcept;
int next_timer_id() noexcept;

// ---- Modes ------------------------------------------------------------------------------------

// vqi_set_backtest_config's arguments, as a hook receives them.
struct BacktestConfig {
    const char* start_time;
    const char* end_time;
    double initial_cash, transaction_ratio, commission_ratio, commission_unit, slippage_ratio;
    double option_float_margin_ratio1, option_float_margin_ratio2;
    int adjust, match_mode, check_cache;
};

// A mode (such as a demo market) takes over functions by installing hooks; a null member leaves
// the function to the test double. Scripts still apply on top: a scripted response, status or
// value replaces what the hook produced. Hooks run on the calling thread, without locks held;
// to deliver events of their own they call deliver(), and a running loop checks stop_requested().
struct Hooks {
    // QUERY-shaped functions: true if handled, with the response and status filled in.
    bool (*query)(Fn fn, std::string_view request, std::string& response, int& status);
    // COMMAND-shaped functions: true if handled, with the status filled in.
    bool (*command)(Fn fn, std::string_view request, int& status);
    int (*subscribe)(const char* symbols, const char* frequency, bool unsubscribe_previous);
    int (*unsubscribe)(const char* symbols, const char* frequency);
    int (*run)();
    int (*poll)();
    long long (*now)();
    double (*now_plus)();
    int (*backtest_config)(const BacktestConfig& config);
    void (*set_timer)(int interval);
    int (*schedule)(const char* date_rule, const char* time_rule);
    int (*user_timer)(int period, int start_delay);
    void (*user_timer_stop)(int timer_id);
};
// Installs a mode's hooks (null: back to the plain test double). The hooks must outlive their use.
void set_hooks(const Hooks* hooks) noexcept;
const Hooks* hooks() noexcept;
// Hands one event to the registered callback at once; false if none is registered.
bool deliver(const char* topic, const char* data, int len);

}  // namespace standin
