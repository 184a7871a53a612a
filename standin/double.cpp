// The test double behind every SDK function: call log, scripts, answers, event queue, and the
// standin_* control functions.
//
// Hot path (recording off, nothing scripted): a call reads a few atomics and touches no lock;
// answers reuse the calling thread's output buffer, which only grows.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <type_traits>
#include <vector>

#include "standin.hpp"

namespace standin {
namespace {

constexpr const char* kNames[] = {
#define STANDIN_NAME(name, shape) #name,
    STANDIN_FUNCTIONS(STANDIN_NAME)
#undef STANDIN_NAME
};

// What a function returns decides which script fields it takes.
enum class Kind : std::uint8_t { none, status, query, text, addr, value };
#define KIND_QUERY Kind::query
#define KIND_COMMAND Kind::status
#define KIND_SET_TEXT Kind::none
#define KIND_INT_TEXT Kind::status
#define KIND_GET_TEXT Kind::text
#define KIND_INT_VOID Kind::status
#define KIND_VOID_INT Kind::none
#define KIND_HAND_QUERY Kind::query
#define KIND_HAND_INT Kind::status
#define KIND_HAND_VOID Kind::none
#define KIND_HAND_TEXT Kind::text
#define KIND_HAND_ADDR Kind::addr
#define KIND_HAND_VALUE Kind::value
constexpr Kind kKinds[] = {
#define STANDIN_KIND(name, shape) KIND_##shape,
    STANDIN_FUNCTIONS(STANDIN_KIND)
#undef STANDIN_KIND
};

unsigned allowed_fields(Kind kind) {
    switch (kind) {
    case Kind::none: return STANDIN_DELAY;
    case Kind::status: return STANDIN_DELAY | STANDIN_STATUS;
    case Kind::query:
        return STANDIN_DELAY | STANDIN_STATUS | STANDIN_RESPONSE | STANDIN_RES_LEN | STANDIN_SKIP_RES_LEN;
    case Kind::text: return STANDIN_DELAY | STANDIN_TEXT;
    case Kind::addr: return STANDIN_DELAY | STANDIN_STATUS | STANDIN_TEXT;
    case Kind::value: return STANDIN_DELAY | STANDIN_VALUE;
    }
    return 0;
}

// A scripted delay: the call answers `ns` after this point (monotonic clock), sleeping for all
// but the last stretch, which it spins, so that it overshoots by little.
void take_time(long long ns) noexcept {
    if (ns <= 0) return;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long long until = now.tv_sec * 1000000000LL + now.tv_nsec + ns;
    constexpr long long kSpin = 200000;  // the last 0.2 ms
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long left = until - (now.tv_sec * 1000000000LL + now.tv_nsec);
        if (left <= 0) return;
        if (left > kSpin) {
            timespec nap{(left - kSpin) / 1000000000LL, (left - kSpin) % 1000000000LL};
            nanosleep(&nap, nullptr);
        }
    }
}

int index_of(Fn fn) { return static_cast<int>(fn); }

struct Event {
    std::unique_ptr<char[]> topic;  // null: a null topic
    std::unique_ptr<char[]> data;   // null: a null payload pointer
    int len = 0;
};

// Exact-size copies, so that an address sanitizer sees any read past what was handed out.
Event make_event(const char* topic, const char* data, std::size_t size, int len) {
    Event e;
    e.len = len;
    if (topic) {
        std::size_t n = std::strlen(topic) + 1;
        e.topic.reset(new char[n]);
        std::memcpy(e.topic.get(), topic, n);
    }
    if (data) {
        std::size_t n = std::max(size, len > 0 ? static_cast<std::size_t>(len) : 0);
        e.data.reset(new char[n]());
        if (size) std::memcpy(e.data.get(), data, size);
    }
    return e;
}

struct Slot {
    std::optional<Script> sticky;
    std::vector<Script> once;  // one-shot scripts, oldest first
};

// Everything behind the mutex. Created on first use and never destroyed, so that nothing runs at
// load or exit time.
struct State {
    std::mutex mu;
    std::vector<unsigned char> log;
    std::size_t log_count = 0;
    Slot slots[function_count];
    std::deque<Event> events;
};

State& state() {
    static State* s = new State;
    return *s;
}

// Lock-free flags read on every call.
constinit std::atomic<bool> g_recording{true};
constinit std::atomic<int> g_default_status{0};
constinit std::atomic<bool> g_scripted[function_count]{};
constinit std::atomic<int> g_pending{0};
constinit std::atomic<bool> g_stop{false};
constinit std::atomic<vqi_event_callback> g_callback{nullptr};
constinit std::atomic<int> g_next_timer{1};
constinit std::atomic<const Hooks*> g_hooks{nullptr};
constinit std::atomic<bool> g_deliver_on_call{false};
// standin_set_wait / standin_hold: any wait or hold set (one flag read on every call).
constinit std::atomic<bool> g_waits{false};

// ---- Thread's output storage ----

struct Output {
    std::unique_ptr<char[]> buf;
    std::size_t cap = 0;
};
thread_local Output t_out;

// A buffer of n bytes valid until the thread's next call. While recording (test runs) each is a
// fresh exact-size allocation; otherwise the buffer is reused.
char* out_alloc(std::size_t n) {
    if (g_recording.load(std::memory_order_relaxed) || t_out.cap < n) {
        t_out.buf.reset(new char[n]);
        t_out.cap = n;
    }
    return t_out.buf.get();
}

// ---- Call log ----

class LogWriter {
public:
    explicit LogWriter(std::vector<unsigned char>& v) : v_(v) {}
    void tag(char t) { v_.push_back(static_cast<unsigned char>(t)); }
    void raw(const void* p, std::size_t n) {
        auto b = static_cast<const unsigned char*>(p);
        v_.insert(v_.end(), b, b + n);
    }
    template <class T>
    void pod(T x) { raw(&x, sizeof x); }
    void bytes(const char* p, std::size_t n) {
        tag('b');
        pod(static_cast<std::uint32_t>(n));
        raw(p, n);
    }

    void put(const Arg& a) {
        switch (a.kind) {
        case Arg::Kind::bytes:
            if (!a.bytes.p) tag('n');
            else if (a.bytes.len < 0) tag('x');
            else bytes(a.bytes.p, static_cast<std::size_t>(a.bytes.len));
            break;
        case Arg::Kind::text:
            if (!a.text.p) tag('n');
            else bytes(a.text.p, std::strlen(a.text.p));
            break;
        case Arg::Kind::out_text:
            tag('o');
            pod<std::uint8_t>(!a.out_text.p ? 1 : *a.out_text.p ? 2 : 0);
            break;
        case Arg::Kind::out_len:
            tag('o');
            pod<std::uint8_t>(!a.out_len.p ? 1 : 0);
            break;
        case Arg::Kind::pointer: tag(a.pointer.nonnull ? 'p' : 'n'); break;
        case Arg::Kind::integer: tag('i'); pod<std::int64_t>(a.integer); break;
        case Arg::Kind::real: tag('f'); pod<double>(a.real); break;
        case Arg::Kind::boolean: tag('?'); pod<std::uint8_t>(a.boolean); break;
        }
    }

private:
    std::vector<unsigned char>& v_;
};

void record(Fn fn, std::initializer_list<Arg> args) {
    State& s = state();
    std::lock_guard lock(s.mu);
    LogWriter w(s.log);
    w.pod(static_cast<std::uint16_t>(fn));
    w.pod(static_cast<std::uint8_t>(args.size()));
    for (const Arg& a : args) w.put(a);
    ++s.log_count;
}

// Copies the script in effect for this call into `out`, consuming a one-shot script.
void take_script(Fn fn, Script& out) {
    State& s = state();
    std::lock_guard lock(s.mu);
    Slot& slot = s.slots[index_of(fn)];
    if (!slot.once.empty()) {
        out = std::move(slot.once.front());
        slot.once.erase(slot.once.begin());
        g_scripted[index_of(fn)].store(slot.sticky || !slot.once.empty(), std::memory_order_release);
    } else if (slot.sticky) {
        out = *slot.sticky;
    }
}

void clear_scripts(State& s) {
    for (int i = 0; i < function_count; ++i) {
        s.slots[i] = Slot{};
        g_scripted[i].store(false, std::memory_order_release);
    }
}

// The callback runs the caller's code: the thread is outside SDK code until it returns (and
// SDK calls the handler makes count as entries of their own).
void call_out(vqi_event_callback cb, const char* topic, const char* data, int len) {
    int depth = t_inside_depth;
    if (depth) {
        t_inside_depth = 0;
        g_inside.fetch_sub(1, std::memory_order_relaxed);
    }
    cb(topic, data, len);
    if (depth) {
        enter_sdk();
        t_inside_depth = depth;
    }
}

void hand_to_callback(const Event& e) {
    if (vqi_event_callback cb = g_callback.load(std::memory_order_acquire))
        call_out(cb, e.topic.get(), e.data.get(), e.len);
}

}  // namespace

const char* name_of(Fn fn) noexcept { return kNames[index_of(fn)]; }

constinit std::atomic<int> g_inside{0};
constinit std::atomic<int> g_inside_max{0};

void note_inside(int now) noexcept {
    int seen = g_inside_max.load(std::memory_order_relaxed);
    while (now > seen && !g_inside_max.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
    }
}

// ---- Call ----

namespace {
// standin_set_deliver_on_call: the queued events go out first, before the call reads its
// arguments; calls that their handlers make deliver nothing more.
thread_local bool t_delivering = false;

[[gnu::cold, gnu::noinline]] void deliver_queued() {
    if (t_delivering) return;
    t_delivering = true;
    while (deliver_next()) {
    }
    t_delivering = false;
}
}  // namespace

// ---- Waiting, as a server would ----

namespace {
constexpr int kAll = function_count;  // the slot of "every function"
constinit std::atomic<int> g_wait_us[function_count + 1]{};
constinit std::atomic<bool> g_held[function_count + 1]{};
constinit std::atomic<int> g_held_now{0};

struct Gate {
    std::mutex mu;
    std::condition_variable opened;
};
Gate& gate() {
    static Gate* g = new Gate;  // never destroyed: a held thread may outlive exit's destructors
    return *g;
}

void note_waits() {
    bool any = false;
    for (int i = 0; i <= kAll; ++i)
        any = any || g_wait_us[i].load(std::memory_order_relaxed) || g_held[i].load(std::memory_order_relaxed);
    g_waits.store(any, std::memory_order_release);
}

bool held(Fn fn) {
    return g_held[kAll].load(std::memory_order_acquire) || g_held[index_of(fn)].load(std::memory_order_acquire);
}

[[gnu::cold, gnu::noinline]] void wait_as_server(Fn fn) {
    if (held(fn)) {
        Gate& g = gate();
        std::unique_lock lock(g.mu);
        g_held_now.fetch_add(1);
        g.opened.wait(lock, [&] { return !held(fn); });
        g_held_now.fetch_sub(1);
    }
    int us = g_wait_us[index_of(fn)].load(std::memory_order_relaxed);
    if (!us) us = g_wait_us[kAll].load(std::memory_order_relaxed);
    if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
}
}  // namespace

Call::Call(Fn fn, std::initializer_list<Arg> args) : fn_(fn) {
    if (g_waits.load(std::memory_order_relaxed)) [[unlikely]] wait_as_server(fn);
    if (g_deliver_on_call.load(std::memory_order_relaxed)) [[unlikely]] {
        if (g_recording.load(std::memory_order_relaxed)) inside_.enter();  // the events go out from inside
        deliver_queued();
    }
    if (g_recording.load(std::memory_order_relaxed)) {
        inside_.enter();
        t_out = Output{};  // the previous call's answer ends here
        record(fn, args);
    }
    if (g_scripted[index_of(fn)].load(std::memory_order_acquire)) take_script(fn, script_);
    if (script_.fields & STANDIN_DELAY) [[unlikely]] take_time(script_.delay_ns);
}

int Call::status() const noexcept {
    return status(g_default_status.load(std::memory_order_relaxed));
}

namespace {

using Pieces = std::span<const std::string_view>;

std::size_t total(Pieces pieces) {
    std::size_t n = 0;
    for (std::string_view p : pieces) n += p.size();
    return n;
}

// The pieces one after another, zero-padded to min_size bytes, in the thread's output storage.
char* concat(Pieces pieces, std::size_t min_size) {
    std::size_t size = total(pieces);
    std::size_t n = std::max(size, min_size);
    char* buf = out_alloc(n);
    char* at = buf;
    for (std::string_view p : pieces) {
        if (!p.empty()) std::memcpy(at, p.data(), p.size());
        at += p.size();
    }
    if (n > size) std::memset(at, 0, n - size);
    return buf;
}

}  // namespace

int reply(const Call& call, int status, std::initializer_list<std::string_view> parts, char** res,
          int* res_len) {
    const Script& s = call.script();
    std::string_view scripted[] = {s.response};
    Pieces pieces = call.has(STANDIN_RESPONSE) ? Pieces(scripted) : Pieces(parts.begin(), parts.size());
    bool null = call.has(STANDIN_RESPONSE) && s.null_response;
    int len = call.has(STANDIN_RES_LEN) ? s.res_len : null ? 0 : static_cast<int>(total(pieces));
    if (res) *res = null ? nullptr : concat(pieces, len > 0 ? static_cast<std::size_t>(len) : 0);
    if (res_len && !call.has(STANDIN_SKIP_RES_LEN)) *res_len = len;
    return status;
}

const char* reply_text(const Call& call, std::initializer_list<std::string_view> fallback) {
    const Script& s = call.script();
    if (call.has(STANDIN_TEXT) && s.null_text) return nullptr;
    std::string_view scripted[] = {s.text};
    Pieces pieces = call.has(STANDIN_TEXT) ? Pieces(scripted) : Pieces(fallback.begin(), fallback.size());
    return concat(pieces, total(pieces) + 1);  // the padding's first zero ends the text
}

// ---- Events ----

bool deliver_next() {
    if (g_pending.load(std::memory_order_acquire) == 0) return false;
    Event e;
    {
        State& s = state();
        std::lock_guard lock(s.mu);
        if (s.events.empty()) return false;
        e = std::move(s.events.front());
        s.events.pop_front();
        g_pending.store(static_cast<int>(s.events.size()), std::memory_order_release);
    }
    hand_to_callback(e);  // the handler may call back into the library: no lock is held
    return true;
}

void register_callback(vqi_event_callback callback) noexcept {
    g_callback.store(callback, std::memory_order_release);
}
void request_stop(bool on) noexcept { g_stop.store(on, std::memory_order_release); }
bool stop_requested() noexcept { return g_stop.load(std::memory_order_acquire); }
int next_timer_id() noexcept { return g_next_timer.fetch_add(1, std::memory_order_relaxed); }

bool deliver(const char* topic, const char* data, int len) {
    vqi_event_callback cb = g_callback.load(std::memory_order_acquire);
    if (!cb) return false;
    call_out(cb, topic, data, len);
    return true;
}

void set_hooks(const Hooks* h) noexcept { g_hooks.store(h, std::memory_order_release); }
const Hooks* hooks() noexcept { return g_hooks.load(std::memory_order_acquire); }

}  // namespace standin

// ---- Control interface ----

using namespace standin;

static_assert(std::is_same_v<standin_event_callback, vqi_event_callback>);

extern "C" {

void standin_reset(int flags) {
    State& s = state();
    {
        std::lock_guard lock(s.mu);
        s.log.clear();
        s.log_count = 0;
        clear_scripts(s);
        s.events.clear();
        g_pending.store(0, std::memory_order_release);
    }
    g_stop.store(false);
    g_next_timer.store(1);
    for (int i = 0; i <= kAll; ++i) {
        g_wait_us[i].store(0, std::memory_order_relaxed);
        std::lock_guard lock(gate().mu);
        g_held[i].store(false, std::memory_order_release);
    }
    gate().opened.notify_all();
    note_waits();
    standin_inside_reset();
    if (flags & STANDIN_RESET_CALLBACK) g_callback.store(nullptr);
    if (flags & STANDIN_RESET_CONFIG) {
        g_recording.store(true);
        g_default_status.store(0);
        g_deliver_on_call.store(false);
    }
}

void standin_set_recording(int on) { g_recording.store(on != 0); }
int standin_recording(void) { return g_recording.load(); }
void standin_set_default_status(int status) { g_default_status.store(status); }
int standin_default_status(void) { return g_default_status.load(); }

int standin_function_count(void) { return function_count; }
const char* standin_function_name(int index) {
    return index >= 0 && index < function_count ? kNames[index] : nullptr;
}
int standin_function_index(const char* name) {
    if (!name) return -1;
    for (int i = 0; i < function_count; ++i)
        if (std::strcmp(kNames[i], name) == 0) return i;
    return -1;
}

int standin_script_set(const char* name, const standin_script* in, int once) {
    int i = standin_function_index(name);
    if (i < 0 || !in) return -1;
    if (in->fields & ~allowed_fields(kKinds[i])) return -2;
    Script sc;
    sc.fields = in->fields;
    sc.status = in->status;
    sc.null_response = !in->response;
    if (in->response && in->response_len > 0) sc.response.assign(in->response, static_cast<std::size_t>(in->response_len));
    sc.res_len = in->res_len;
    sc.null_text = !in->text;
    if (in->text) sc.text = in->text;
    sc.int_value = in->int_value;
    sc.real_value = in->real_value;
    sc.delay_ns = in->delay_ns;

    State& s = state();
    std::lock_guard lock(s.mu);
    Slot& slot = s.slots[i];
    if (once) slot.once.push_back(std::move(sc));
    else slot.sticky = std::move(sc);
    g_scripted[i].store(true, std::memory_order_release);
    return 0;
}

int standin_script_clear(const char* name) {
    State& s = state();
    if (!name) {
        std::lock_guard lock(s.mu);
        clear_scripts(s);
        return 0;
    }
    int i = standin_function_index(name);
    if (i < 0) return -1;
    std::lock_guard lock(s.mu);
    s.slots[i] = Slot{};
    g_scripted[i].store(false, std::memory_order_release);
    return 0;
}

std::size_t standin_log_read(void* dst, std::size_t capacity) {
    State& s = state();
    std::lock_guard lock(s.mu);
    std::size_t n = std::min(capacity, s.log.size());
    if (n) std::memcpy(dst, s.log.data(), n);
    return s.log.size();
}

std::size_t standin_log_count(void) {
    State& s = state();
    std::lock_guard lock(s.mu);
    return s.log_count;
}

void standin_log_clear(void) {
    State& s = state();
    std::lock_guard lock(s.mu);
    s.log.clear();
    s.log_count = 0;
}

void standin_queue_event(const char* topic, const char* data, std::size_t data_size, int len) {
    Event e = make_event(topic, data, data_size, len);
    State& s = state();
    std::lock_guard lock(s.mu);
    s.events.push_back(std::move(e));
    g_pending.store(static_cast<int>(s.events.size()), std::memory_order_release);
}

int standin_emit_event(const char* topic, const char* data, std::size_t data_size, int len) {
    if (!g_callback.load(std::memory_order_acquire)) return -1;
    Event e = make_event(topic, data, data_size, len);
    return deliver(e.topic.get(), e.data.get(), e.len) ? 0 : -1;
}

int standin_pending_events(void) { return g_pending.load(std::memory_order_acquire); }
void standin_set_deliver_on_call(int on) { g_deliver_on_call.store(on != 0); }
int standin_deliver_on_call(void) { return g_deliver_on_call.load(); }
int standin_callback_registered(void) { return g_callback.load() != nullptr; }
standin_event_callback standin_swap_callback(standin_event_callback callback) { return g_callback.exchange(callback); }
int standin_stop_requested(void) { return stop_requested(); }

int standin_set_wait(const char* name, int microseconds) {
    int i = name ? standin_function_index(name) : kAll;
    if (i < 0 || microseconds < 0) return -1;
    g_wait_us[i].store(microseconds, std::memory_order_relaxed);
    note_waits();
    return 0;
}

int standin_hold(const char* name, int on) {
    int i = name ? standin_function_index(name) : kAll;
    if (i < 0) return -1;
    {
        std::lock_guard lock(gate().mu);
        g_held[i].store(on != 0, std::memory_order_release);
    }
    if (!on) gate().opened.notify_all();
    note_waits();
    return 0;
}

int standin_held(void) { return g_held_now.load(); }

int standin_inside_max(void) { return g_inside_max.load(); }
int standin_inside_now(void) { return g_inside.load(); }
void standin_inside_reset(void) { g_inside_max.store(g_inside.load()); }

}  // extern "C"
