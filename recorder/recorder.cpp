// The session recorder and its replay. docs/recording.md describes the file and how to use both.
//
// Record mode (VQSDK_RECORD_FILE, VQSDK_RECORD_LIBRARY): the vendor's library is loaded from the
// given path with RTLD_LOCAL | RTLD_DEEPBIND, so that its own calls to its functions stay inside
// it, and every call is forwarded to it unchanged. Each call, its result and every event are
// encoded on the calling thread and appended under a lock to one in-memory buffer, which goes
// to the file in 1 MiB blocks, at normal exit and at quick_exit (the module's end of a process
// from a thread other than the main one), and from the handlers of the terminating signals. A
// file that cannot be written stops the recording (said once on stderr); the calls go on. The
// out-parameters of a call are recorded only when the module reads them: when the status is its
// success status (python.hpp), as the SDK owns them only then.
//
// Replay mode (VQSDK_REPLAY_FILE): the whole session file is read at load (session.cpp). Each
// call must be the next call of the recording, with the same arguments; the events recorded
// inside it are then delivered to the module's callback, and the recorded results are handed
// back. Events recorded between calls (from an SDK thread of its own) are delivered by a thread
// of the replay's own, in their place in the recording. The first call that differs stops the
// process with a report on stderr (the call, the event being handled, the Python stack) and
// exit status 86, once what the interpreter holds for sys.stdout and sys.stderr is written.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "recorder.hpp"
#include "session.hpp"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the session file is little-endian");

namespace rec {
namespace {

using session::kMagic;
using session::kNoFunction;
using session::kRecordHead;
using session::kSecretsRecorded;
using session::kVersion;
constexpr int kDivergedStatus = 86;
constexpr int kUnreadableStatus = 85;
constexpr std::size_t kBufferSize = 1 << 20;

const char* const kNames[] = {
#define REC_NAME(name, shape) #name,
    STANDIN_FUNCTIONS(REC_NAME)
#undef REC_NAME
};

// Text arguments never recorded unless asked for (bit k: argument k); kSecretResult: the text
// returned.
constexpr std::uint32_t kSecretResult = 1u << 31;
std::uint32_t secret_mask(Fn f) noexcept {
    switch (f) {
    case Fn::vqi_set_token:
    case Fn::vqi_set_apitoken: return 1;
    case Fn::vqi_set_ctp_md_info:
    case Fn::vqi_set_bus_info: return 7;
    case Fn::vqi_set_bus_secure: return 2 | 4 | 8;
    case Fn::vqi_get_encrypted_token: return kSecretResult;
    default: return 0;
    }
}
const char kSecretText[] = "<secret not recorded>";

Mode g_mode = Mode::off;
bool g_secrets = false;
void* g_real[function_count];
std::atomic<vqi_event_callback> g_callback{nullptr};
timespec g_start;

void say(const char* fmt, const char* a = "", const char* b = "", const char* c = "") noexcept {
    std::fprintf(stderr, fmt, a, b, c);
    std::fflush(stderr);
}

std::uint64_t now_ns() noexcept {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::uint64_t(t.tv_sec - g_start.tv_sec) * 1000000000u + std::uint64_t(t.tv_nsec) -
           std::uint64_t(g_start.tv_nsec);
}

// ---- Encoding -----------------------------------------------------------------------------------

// One value, ready to be written: its tag and what follows it.
struct Item {
    char tag = 'v';
    std::uint32_t n = 0;      // 'b' / 't': the length of the bytes at p
    const char* p = nullptr;
    std::uint64_t bits = 0;   // 'i', 'f', '?'
    std::size_t size() const noexcept {
        switch (tag) {
        case 'b': case 't': return 5 + n;
        case 'i': case 'f': return 9;
        case '?': return 2;
        default: return 1;
        }
    }
};

Item item(const V& v, bool secret) noexcept {
    Item it;
    switch (v.k) {
    case V::K::none: it.tag = 'v'; break;
    case V::K::bytes:
        if (!v.p) it.tag = 'n';
        else { it.tag = 'b'; it.p = v.p; it.n = v.i > 0 ? std::uint32_t(v.i) : 0; }
        break;
    case V::K::text:
        if (!v.p) it.tag = 'n';
        else if (secret) it.tag = 's';
        else { it.tag = 't'; it.p = v.p; it.n = std::uint32_t(std::strlen(v.p)); }
        break;
    case V::K::out: it.tag = v.p ? 'o' : 'n'; break;
    case V::K::pointer: it.tag = v.p ? 'p' : 'n'; break;
    case V::K::integer: it.tag = 'i'; it.bits = std::uint64_t(v.i); break;
    case V::K::real: it.tag = 'f'; std::memcpy(&it.bits, &v.d, 8); break;
    case V::K::boolean: it.tag = '?'; it.bits = v.i ? 1 : 0; break;
    }
    return it;
}

template <class T>
char* put(char* w, T v) noexcept {
    std::memcpy(w, &v, sizeof v);
    return w + sizeof v;
}

char* write_item(char* w, const Item& it) noexcept {
    *w++ = it.tag;
    switch (it.tag) {
    case 'b': case 't':
        w = put(w, it.n);
        if (it.n) std::memcpy(w, it.p, it.n);
        return w + it.n;
    case 'i': case 'f': return put(w, it.bits);
    case '?': *w++ = char(it.bits); return w;
    default: return w;
    }
}

// The arguments of a call as items (secret texts as markers unless secrets are recorded).
int arg_items(Item* out, Fn f, std::initializer_list<V> args, bool secrets) noexcept {
    std::uint32_t mask = secrets ? 0 : secret_mask(f);
    int k = 0;
    for (const V& v : args) {
        out[k] = item(v, (mask >> k) & 1);
        ++k;
    }
    return k;
}

std::string encode_values(const Item* items, int count) {
    std::size_t n = 0;
    for (int k = 0; k < count; ++k) n += items[k].size();
    std::string s(n, '\0');
    char* w = s.data();
    for (int k = 0; k < count; ++k) w = write_item(w, items[k]);
    return s;
}

// ---- The session file -----------------------------------------------------------------------------

int write_all(int fd, const char* p, std::size_t n) noexcept {
    while (n) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += w;
        n -= std::size_t(w);
    }
    return 0;
}

// The buffer's lock: held for the few hundred instructions of writing one record (and for a
// block's write to the file), so a waiter spins briefly, then yields its time slice. It costs
// the recorded call two atomic instructions where a mutex costs two library calls.
class SpinLock {
public:
    void lock() noexcept {
        while (held_.exchange(true, std::memory_order_acquire)) {
            for (int k = 0; held_.load(std::memory_order_relaxed); ++k) {
                if (k < 100) {
#if defined(__x86_64__) || defined(__i386__)
                    __builtin_ia32_pause();
#endif
                } else {
                    sched_yield();
                }
            }
        }
    }
    void unlock() noexcept { held_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> held_{false};
};

struct Writer {
    SpinLock mu;
    int fd = -1;
    char* buf = nullptr;
    std::atomic<std::size_t> len{0}, flushed{0};
    std::atomic_flag flushing = ATOMIC_FLAG_INIT;  // held while bytes go out (a signal handler never waits)
    std::atomic<bool> on{false};
    const char* path = "";
} g_out;

void stop_recording(int err) noexcept {
    if (g_out.on.exchange(false))
        say("vqsdk recorder: cannot write the session file %s (%s); recording stopped, the session goes on\n",
            g_out.path, std::strerror(err));
}

// Caller holds g_out.mu.
void flush_locked() noexcept {
    while (g_out.flushing.test_and_set(std::memory_order_acquire)) {
    }
    std::size_t from = g_out.flushed.load(), to = g_out.len.load();
    int err = write_all(g_out.fd, g_out.buf + from, to - from);
    g_out.flushed.store(0);
    g_out.len.store(0);
    g_out.flushing.clear(std::memory_order_release);
    if (err) stop_recording(err);
}

// Thread numbers, 1, 2, ... in the order threads first record (given under g_out.mu). The
// initial-exec model makes the number one load from the thread pointer; it takes 4 bytes of
// the static TLS that the loader keeps for libraries loaded later.
__attribute__((tls_model("initial-exec"))) thread_local std::uint32_t t_number = 0;
std::uint32_t g_thread_count = 0;

char* write_record(char* w, char kind, std::size_t total, std::uint64_t t, std::uint32_t thread, std::uint16_t fn,
                   const Item* items, int count) noexcept {
    *w++ = kind;
    w = put(w, std::uint32_t(total - 5));
    w = put(w, t);
    w = put(w, thread);
    w = put(w, fn);
    *w++ = char(count);
    for (int k = 0; k < count; ++k) w = write_item(w, items[k]);
    return w;
}

// Appends one record to the buffer, written in place under the lock.
void emit(char kind, std::uint16_t fn, const Item* items, int count) noexcept {
    std::size_t total = kRecordHead;
    for (int k = 0; k < count; ++k) total += items[k].size();
    std::uint64_t t = now_ns();
    std::lock_guard lock(g_out.mu);
    if (!g_out.on.load(std::memory_order_relaxed)) return;
    if (!t_number) t_number = ++g_thread_count;
    std::uint32_t thread = t_number;
    if (g_out.len.load(std::memory_order_relaxed) + total > kBufferSize) {
        flush_locked();
        if (!g_out.on.load(std::memory_order_relaxed)) return;
    }
    if (total > kBufferSize) {  // larger than the buffer: straight to the file
        std::string big(total, '\0');
        write_record(big.data(), kind, total, t, thread, fn, items, count);
        if (int err = write_all(g_out.fd, big.data(), big.size())) stop_recording(err);
        return;
    }
    std::size_t at = g_out.len.load(std::memory_order_relaxed);
    write_record(g_out.buf + at, kind, total, t, thread, fn, items, count);
    g_out.len.store(at + total, std::memory_order_release);  // a whole record, now visible to a signal handler
}

// ---- Signals ----------------------------------------------------------------------------------------

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};
struct sigaction g_previous[65];

void on_signal(int sig, siginfo_t* info, void* context) {
    int saved = errno;
    if (g_out.on.load() && !g_out.flushing.test_and_set(std::memory_order_acquire)) {
        std::size_t from = g_out.flushed.load(), to = g_out.len.load(std::memory_order_acquire);
        if (write_all(g_out.fd, g_out.buf + from, to - from) == 0) g_out.flushed.store(to);
        g_out.flushing.clear(std::memory_order_release);
    }
    errno = saved;
    const struct sigaction& prev = g_previous[sig];
    if (prev.sa_flags & SA_SIGINFO) {
        prev.sa_sigaction(sig, info, context);
    } else if (prev.sa_handler == SIG_DFL) {
        sigaction(sig, &prev, nullptr);
        raise(sig);  // delivered with its default action once this handler returns
    } else if (prev.sa_handler != SIG_IGN) {
        prev.sa_handler(sig);
    }
}

void install_signal_handlers() noexcept {
    for (int sig : kSignals) {
        struct sigaction sa {};
        sa.sa_sigaction = on_signal;
        sa.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, &g_previous[sig]);
    }
}

// ---- Record mode ----------------------------------------------------------------------------------

template <class T>
void append(std::string& s, T v) {
    s.append(reinterpret_cast<const char*>(&v), sizeof v);
}

void open_session_file(const char* path) noexcept {
    g_out.path = path;
    // Only ever a new regular file: a process started by the recorded one inherits its
    // environment and would otherwise truncate the session being written, and a pipe, a device
    // or a socket at the path would hang the session at its first write or hand it to whoever
    // reads there. O_EXCL refuses anything at the path, a symbolic link included.
    g_out.fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (g_out.fd < 0) {
        say("vqsdk recorder: cannot open the session file %s (%s); the session goes on unrecorded\n", path,
            std::strerror(errno));
        return;
    }
    g_out.buf = static_cast<char*>(std::malloc(kBufferSize));
    std::string h(kMagic, sizeof kMagic);
    append(h, kVersion);
    append(h, std::uint16_t(g_secrets ? kSecretsRecorded : 0));
    append(h, std::uint32_t(getpid()));
    timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    append(h, std::int64_t(wall.tv_sec) * 1000000000 + wall.tv_nsec);
    append(h, std::uint16_t(function_count));
    for (const char* name : kNames) h.append(name, std::strlen(name) + 1);
    if (!g_out.buf) {
        say("vqsdk recorder: out of memory for the session buffer; the session goes on unrecorded\n");
        return;
    }
    g_out.on.store(true);
    std::memcpy(g_out.buf, h.data(), h.size());
    g_out.len.store(h.size());
    std::lock_guard lock(g_out.mu);
    flush_locked();  // the header at once: a session that dies early still has a readable file
}

bool load_vendor_library(const char* path) noexcept {
    // The sanitizer runtime refuses RTLD_DEEPBIND; under it the vendor library is loaded without.
    int flags = RTLD_NOW | RTLD_LOCAL;
    if (!dlsym(RTLD_DEFAULT, "__asan_init")) flags |= RTLD_DEEPBIND;
    void* h = dlopen(path, flags);
    if (!h) {
        say("vqsdk recorder: cannot load the SDK library %s (%s); every SDK call fails (status -1)\n", path,
            dlerror());
        return false;
    }
    if (dlsym(h, "vqi_init") == reinterpret_cast<void*>(&vqi_init)) {
        say("vqsdk recorder: %s is the recorder itself, not the SDK library; every SDK call fails (status -1)\n",
            path);
        return false;
    }
    int missing = 0;
    const char* first = nullptr;
    for (int i = 0; i < function_count; ++i) {
        g_real[i] = dlsym(h, kNames[i]);
        if (!g_real[i] && !missing++) first = kNames[i];
    }
    if (missing) {
        std::string n = std::to_string(missing);
        say("vqsdk recorder: %s SDK functions missing from %s (the first: %s); calling them fails (status -1)\n",
            n.c_str(), path, first);
    }
    return true;
}

// The event on entry, and the moment control comes back to the SDK ('H'): the time between
// them is the strategy's handler's.
void trampoline(const char* topic, const char* data, int len) {
    const bool on = g_out.on.load(std::memory_order_relaxed);
    if (on) {
        Item items[3] = {item(V(Text{topic}), false), item(V(len), false), item(V(Bytes{data, len}), false)};
        emit('E', kNoFunction, items, 3);
    }
    if (vqi_event_callback cb = g_callback.load(std::memory_order_acquire)) cb(topic, data, len);
    if (on) emit('H', kNoFunction, nullptr, 0);  // nothing once the recording stopped: it never starts again
}

// ---- Replay mode ------------------------------------------------------------------------------------

using session::Record;

// A mutex and a condition variable of the thread library itself (what the replay needs of them,
// without the C++ library's newer symbols).
class Mutex {
public:
    void lock() noexcept { pthread_mutex_lock(&m_); }
    void unlock() noexcept { pthread_mutex_unlock(&m_); }
    pthread_mutex_t* native() noexcept { return &m_; }

private:
    pthread_mutex_t m_ = PTHREAD_MUTEX_INITIALIZER;
};

class Condition {
public:
    template <class Ready>
    void wait(std::unique_lock<Mutex>& lock, Ready ready) noexcept {
        while (!ready()) pthread_cond_wait(&c_, lock.mutex()->native());
    }
    void notify_all() noexcept { pthread_cond_broadcast(&c_); }

private:
    pthread_cond_t c_ = PTHREAD_COND_INITIALIZER;
};

struct Replay {
    Mutex mu;
    Condition moved;  // the cursor moved past a top-level event, or its delivery ended
    std::string path;               // as printed: control characters escaped
    std::vector<char> file;
    session::File s;
    std::vector<int> ours;          // file index -> this library's, -1 when unknown
    std::size_t cursor = 0;
    std::size_t calls = 0;          // calls matched so far
    struct Open {
        std::uint16_t fn;           // the file's function index
        std::uint32_t call;         // its number
    };
    std::vector<Open> stack;        // the calls in progress
    bool delivering = false;        // the replay's thread is delivering a top-level event
    bool deliverer = false;         // that thread was started
};
// Never destroyed: the replay's delivering thread may still wait on it while the process exits.
Replay& g_replay = *new Replay;

// The event the calling thread is delivering (innermost), for the divergence report.
thread_local const Record* t_event = nullptr;
// The calling thread is the replay's own thread, which delivers the events recorded between calls.
thread_local bool t_deliverer = false;

std::string printable(std::string_view text) { return session::escaped(text, 4096); }

[[noreturn]] void unreadable(const std::string& what) {
    std::fprintf(stderr, "vqsdk replay: cannot replay %s: %s\n", g_replay.path.c_str(), what.c_str());
    std::fflush(stderr);
    _exit(kUnreadableStatus);
}

void load_replay(const char* path) {
    g_replay.path = printable(path);
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);  // a pipe's open would wait for its writer
    if (fd < 0) unreadable(std::strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0) unreadable(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) unreadable("not a regular file");
    std::vector<char>& f = g_replay.file;
    f.resize(std::size_t(st.st_size));
    std::size_t got = 0;
    while (got < f.size()) {
        ssize_t r = ::read(fd, f.data() + got, f.size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) unreadable(r < 0 ? std::strerror(errno) : "the file shrank while being read");
        got += std::size_t(r);
    }
    ::close(fd);
    std::string error = session::load(f.data(), f.size(), g_replay.s);
    if (!error.empty()) unreadable(error);
    g_secrets = g_replay.s.flags & kSecretsRecorded;
    for (const std::string& name : g_replay.s.names) {
        int mine = -1;
        for (int k = 0; k < function_count; ++k)
            if (name == kNames[k]) mine = k;
        g_replay.ours.push_back(mine);
    }
    // Said here only, for the commands and for a replay started by the environment alike.
    if (!g_replay.s.end_note.empty())
        std::fprintf(stderr, "vqsdk replay: %s: %s; replaying the %zu whole records %s\n", g_replay.path.c_str(),
                     g_replay.s.end_note.c_str(), g_replay.s.records.size() + g_replay.s.handled.size(),
                     g_replay.s.cut_at ? "before it" : "it holds");
}

std::string name_of(std::uint16_t fn) { return printable(g_replay.s.names[fn]); }

std::string ms(std::uint64_t ns) {
    char t[48];
    std::snprintf(t, sizeof t, "%.3f ms", double(ns) / 1e6);
    return t;
}

std::string describe_event(const Record& e) {
    const char* p = e.values;
    std::size_t index = std::size_t(&e - g_replay.s.records.data());  // e is one of the loaded records
    std::string s = "event e" + std::to_string(session::event_number(g_replay.s, index)) + " ";
    session::describe_value(s, p);
    return s + " recorded at " + ms(e.time) + " (byte " + std::to_string(e.offset) + ")";
}

std::string describe_record(std::size_t index) {
    Replay& r = g_replay;
    if (index >= r.s.records.size())
        return "the end of the recording" + (r.s.end_note.empty() ? std::string() : " (" + r.s.end_note + ")");
    const Record& rec = r.s.records[index];
    switch (rec.kind) {
    case 'C': return "call #" + std::to_string(rec.call) + " " + session::describe_call(r.s.names[rec.fn], rec.values, rec.count);
    case 'R':
        return "the return of " + name_of(rec.fn) + " (call #" + std::to_string(rec.call) + "; no further call inside it)";
    case 'Z': return "the end of the recording";
    default: return describe_event(rec);
    }
}

std::string inside() {
    const std::vector<Replay::Open>& stack = g_replay.stack;
    if (stack.empty()) return "(top level)";
    std::string s;
    constexpr std::size_t kEnds = 3;  // the outermost and innermost calls shown; those between counted
    for (std::size_t k = 0; k < stack.size(); ++k) {
        if (stack.size() > 2 * kEnds + 1 && k == kEnds) {
            s += " > ... (" + std::to_string(stack.size() - 2 * kEnds) + " calls)";
            k = stack.size() - kEnds - 1;
            continue;
        }
        s += (s.empty() ? "" : " > ") + name_of(stack[k].fn) + " (#" + std::to_string(stack[k].call) + ")";
    }
    return s;
}

// The event the recording was handling when it made the recorded call at `index`, as a line of
// the report, when it is not the event being handled now (the strategy's handler of that event
// did not make the call, say); else "".
std::string recorded_handling(std::size_t index) {
    const session::File& f = g_replay.s;
    if (index >= f.records.size() || f.records[index].kind != 'C') return "";
    std::size_t then = session::handling_event(f, index);
    std::size_t now = t_event ? std::size_t(t_event - f.records.data()) : session::npos;
    if (then == now) return "";
    return "    in the recording, handling: " +
           (then == session::npos ? std::string("no event") : describe_event(f.records[then])) + "\n";
}

// ---- The end of a replay that diverged ------------------------------------------------------------

constexpr int kFlushSeconds = 5;  // for what the interpreter holds to go out
std::atomic<bool> g_diverged{false};
std::atomic_flag g_reported = ATOMIC_FLAG_INIT;
// Written before the watchdog starts, read by whichever thread ends the process.
std::string g_report, g_late_note;

[[noreturn]] void report_and_exit(const std::string& note) noexcept {
    if (!g_reported.test_and_set()) {
        std::fputs(note.c_str(), stderr);
        std::fputs(g_report.c_str(), stderr);
        std::fflush(stderr);
    }
    _exit(kDivergedStatus);
}

// Ends the process with the report if the strategy's output has not gone out within
// kFlushSeconds (a pipe nobody reads, a stream whose flush waits for another thread).
bool start_watchdog() noexcept {
    pthread_t thread;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    int err = pthread_create(&thread, &attr, [](void*) -> void* {
        timespec left{kFlushSeconds, 0};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
        report_and_exit(g_late_note);
    }, nullptr);
    pthread_attr_destroy(&attr);
    return err == 0;
}

// A call that diverged while another thread reports its own divergence: it lets go of the
// replay's lock (its caller holds it) and of the interpreter lock, and waits for the end.
[[noreturn]] void wait_for_the_end() noexcept {
    g_replay.mu.unlock();
    py::release_lock();
    for (;;) pause();
}

// Called with the replay's lock held; nothing returns from here.
[[noreturn]] void diverge(const std::string& came) {
    if (g_diverged.exchange(true)) wait_for_the_end();
    Replay& r = g_replay;
    std::size_t at = r.cursor < r.s.records.size() ? r.s.records[r.cursor].offset : r.file.size();
    std::string report = "vqsdk replay: the session diverged from the recording " + r.path + " at call #" +
                         std::to_string(r.calls + 1) + " (byte " + std::to_string(at) + " of the file)\n";
    report += "  inside:   " + inside() + "\n";
    report += "  handling: " + (t_event ? describe_event(*t_event) : std::string("no event")) + "\n";
    report += "  recorded: " + describe_record(r.cursor) + "\n";
    report += recorded_handling(r.cursor);
    report += "  came:     " + came + "\n";
    report += "  the call that came, in the strategy (most recent call last):\n";
    report += py::stack("    ");
    report += "vqsdk replay: replay stopped (exit status " + std::to_string(kDivergedStatus) + ")\n";
    g_report = std::move(report);
    g_late_note = "vqsdk replay: the strategy's buffered output did not go out within " +
                  std::to_string(kFlushSeconds) + " s; it is left out\n";
    // What the strategy wrote before the call and the interpreter still holds (sys.stdout,
    // sys.stderr) goes out first, as it would have at the process's end. That runs Python code,
    // which may wait or call the SDK again: the replay's lock is let go first (a thread that
    // waits for it must not hold the interpreter lock the flush needs), and the watchdog bounds
    // the wait.
    r.mu.unlock();
    if (start_watchdog()) py::flush_streams();
    std::fflush(nullptr);
    report_and_exit(std::string());
}

// Hands a recorded event to the module's callback on the calling thread.
void deliver(const Record& e) {
    const char* p = e.values;
    std::string topic;
    bool null_topic = *p == 'n';
    if (!null_topic) topic.assign(p + 5, session::blob_size(p));
    p += session::value_size(p, e.values_size);
    std::int64_t len;
    std::memcpy(&len, p + 1, 8);
    p += 9;
    const char* data = *p == 'n' ? nullptr : p + 5;
    const Record* outer = t_event;
    t_event = &e;
    if (vqi_event_callback cb = g_callback.load(std::memory_order_acquire))
        cb(null_topic ? nullptr : topic.c_str(), data, int(len));  // the loader checked that len is an int
    t_event = outer;
}

bool top_event_due(const Replay& r) {
    return r.cursor < r.s.records.size() && r.s.records[r.cursor].kind == 'E' && r.s.records[r.cursor].top;
}

// The replay's own thread: it delivers the events recorded between calls when the replay
// reaches them, as the SDK's thread delivered them, whether or not the strategy calls again
// (it may be waiting for the very event).
void deliverer_main() {
    t_deliverer = true;
    Replay& r = g_replay;
    std::unique_lock lock(r.mu);
    for (;;) {
        r.moved.wait(lock, [&] { return top_event_due(r); });
        const Record& e = r.s.records[r.cursor++];
        r.delivering = true;
        lock.unlock();
        deliver(e);
        lock.lock();
        r.delivering = false;
        r.moved.notify_all();
    }
}

// Caller holds r.mu.
void wake_deliverer(Replay& r) {
    if (!r.deliverer) {
        r.deliverer = true;
        pthread_t thread;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        if (int err = pthread_create(&thread, &attr, [](void*) -> void* { deliverer_main(); return nullptr; }, nullptr)) {
            std::fprintf(stderr, "vqsdk replay: cannot start the thread that delivers the events recorded between "
                                 "calls (%s)\n", std::strerror(err));
            _exit(kUnreadableStatus);
        }
        pthread_attr_destroy(&attr);
    }
    r.moved.notify_all();
}

// Reads one tagged result value into v.
void read_value(const char*& p, V& v) {
    v = V();
    switch (*p) {
    case 'i': std::memcpy(&v.i, p + 1, 8); v.k = V::K::integer; break;
    case 'f': std::memcpy(&v.d, p + 1, 8); v.k = V::K::real; break;
    case 'b': case 't': v.p = p + 5; v.i = session::blob_size(p); v.k = V::K::bytes; break;
    case 's': v.p = kSecretText; v.i = sizeof kSecretText - 1; v.k = V::K::bytes; break;
    case 'v': v.k = V::K::out; break;  // an out-parameter not recorded (the call did not succeed)
    default: break;
    }
    p += session::value_size(p, std::size_t(-1) / 2);  // the loader checked it
}

}  // namespace

// ---- The entry points -------------------------------------------------------------------------------

Mode mode() noexcept { return g_mode; }
void* real(Fn f) noexcept { return g_real[int(f)]; }

void set_callback(vqi_event_callback cb) noexcept { g_callback.store(cb, std::memory_order_release); }
vqi_event_callback trampoline_for(vqi_event_callback cb) noexcept { return cb ? trampoline : nullptr; }

void fill_failed(const Outs& o) noexcept {
    if (o.res) *o.res = nullptr;
    if (o.res_len) *o.res_len = 0;
    if (o.addr) *o.addr = nullptr;
}

constinit __attribute__((tls_model("initial-exec"))) thread_local unsigned long t_sdk_calls = 0;

void unknown_success(const char* why) noexcept {
    static std::atomic<bool> said{false};
    if (!said.exchange(true))
        say("vqsdk recorder: the success status of the calls cannot be told (%s); their responses are not "
            "recorded\n",
            why);
}

bool record_call(Fn f, std::initializer_list<V> args) noexcept {
    ++t_sdk_calls;
    if (!g_out.on.load(std::memory_order_relaxed)) return false;
    Item items[16];
    emit('C', std::uint16_t(f), items, arg_items(items, f, args, g_secrets));
    return true;
}

void record_return(Fn f, V ret, const Outs& o, bool read) noexcept {
    if (!g_out.on.load(std::memory_order_relaxed)) return;
    Item items[4];
    int count = 0;
    items[count++] = item(ret, !g_secrets && (secret_mask(f) & kSecretResult));
    // Out-parameters not read are recorded as 'v' (no value).
    if (o.res) items[count++] = read ? item(V(Bytes{*o.res, o.res_len ? *o.res_len : 0}), false) : Item{};
    if (o.res_len) items[count++] = read ? item(V(*o.res_len), false) : Item{};
    if (o.addr) items[count++] = read ? item(V(Text{*o.addr}), false) : Item{};
    emit('R', std::uint16_t(f), items, count);
}

V replay_call(Fn f, std::initializer_list<V> args, const Outs& o, char returns) noexcept {
    Replay& r = g_replay;
    Item items[16];
    std::string s = encode_values(items, arg_items(items, f, args, g_secrets));
    std::unique_lock lock(r.mu);
    // The events recorded between calls before this one come first. The replay's thread
    // delivers them, as the SDK's own thread did, while this call waits without the interpreter
    // lock (the handler needs it); the handler's own calls (on that thread) go on at once.
    if (t_deliverer) {
        while (top_event_due(r)) {
            const Record& e = r.s.records[r.cursor++];
            lock.unlock();
            deliver(e);
            lock.lock();
        }
    } else if (r.delivering || top_event_due(r)) {
        wake_deliverer(r);
        while (r.delivering || top_event_due(r)) {
            lock.unlock();
            py::Released held = py::release_lock();
            {
                std::unique_lock wait(r.mu);
                r.moved.wait(wait, [&] { return !r.delivering && !top_event_due(r); });
            }
            py::reacquire_lock(held);
            lock.lock();
        }
    }
    const Record* rec = r.cursor < r.s.records.size() ? &r.s.records[r.cursor] : nullptr;
    if (!rec || rec->kind != 'C' || r.ours[rec->fn] != int(f) || rec->count != args.size() ||
        rec->values_size != s.size() || std::memcmp(rec->values, s.data(), s.size()) != 0)
        diverge(session::describe_call(kNames[int(f)], s.data(), int(args.size())));
    std::uint16_t fn = rec->fn;
    ++r.cursor;
    ++r.calls;
    r.stack.push_back({fn, rec->call});
    for (;;) {
        rec = r.cursor < r.s.records.size() ? &r.s.records[r.cursor] : nullptr;
        if (rec && rec->kind == 'E') {
            ++r.cursor;
            lock.unlock();
            deliver(*rec);
            lock.lock();
            continue;
        }
        if (rec && rec->kind == 'R' && rec->fn == fn) break;
        diverge("the return of " + std::string(kNames[int(f)]) + " (no further call inside it)");
    }
    if (!session::return_shape(*rec, o.res, o.res_len, o.addr) || !session::return_value_fits(*rec, returns))
        unreadable("corrupt record at byte " + std::to_string(rec->offset) + " (the results of " + kNames[int(f)] + ")");
    ++r.cursor;
    r.stack.pop_back();
    if (top_event_due(r)) wake_deliverer(r);
    const char* p = rec->values;
    V ret;
    read_value(p, ret);
    V v;
    thread_local std::string text;  // a returned text lives until the thread's next call
    // An out-parameter not recorded (the call did not succeed, and its caller does not read it)
    // is handed back null.
    if (o.res) {
        read_value(p, v);
        *o.res = v.k == V::K::bytes ? const_cast<char*>(v.p) : nullptr;
    }
    if (o.res_len) {
        read_value(p, v);
        *o.res_len = v.k == V::K::integer ? int(v.i) : 0;  // the loader checked that it is an int
    }
    if (o.addr) {
        read_value(p, v);
        text.assign(v.p ? v.p : "", v.p ? std::size_t(v.i) : 0);
        *o.addr = v.p ? text.data() : nullptr;
    }
    if (ret.k == V::K::bytes) {  // a returned text
        text.assign(ret.p, std::size_t(ret.i));
        ret.p = text.c_str();
    }
    return ret;
}

namespace {

void finish() {
    static std::atomic<bool> finished{false};
    if (finished.exchange(true)) return;
    if (g_mode == Mode::record && g_out.on.load()) {
        emit('Z', kNoFunction, nullptr, 0);
        std::lock_guard lock(g_out.mu);
        flush_locked();
        g_out.on.store(false);
    }
    if (g_mode == Mode::replay) {
        std::lock_guard lock(g_replay.mu);
        std::size_t left = 0;
        for (std::size_t k = g_replay.cursor; k < g_replay.s.records.size(); ++k)
            left += g_replay.s.records[k].kind == 'C';
        if (left)
            std::fprintf(stderr, "vqsdk replay: the session ended before the recording: %zu recorded calls "
                                 "not made, the next one %s\n",
                         left, describe_record(g_replay.cursor).c_str());
    }
}

void start() {
    clock_gettime(CLOCK_MONOTONIC, &g_start);
    py::init();
    if (const char* replay = std::getenv("VQSDK_REPLAY_FILE"); replay && *replay) {
        g_mode = Mode::replay;
        load_replay(replay);
        at_quick_exit(finish);
        return;
    }
    const char* file = std::getenv("VQSDK_RECORD_FILE");
    const char* library = std::getenv("VQSDK_RECORD_LIBRARY");
    if (!file || !*file || !library || !*library) {
        say("vqsdk recorder: set VQSDK_RECORD_FILE and VQSDK_RECORD_LIBRARY to record a session, or "
            "VQSDK_REPLAY_FILE to replay one; every SDK call fails (status -1)\n");
        return;
    }
    g_mode = Mode::record;
    const char* secrets = std::getenv("VQSDK_RECORD_SECRETS");
    g_secrets = secrets && std::strcmp(secrets, "1") == 0;
    if (!load_vendor_library(library)) {
        g_mode = Mode::off;
        return;
    }
    open_session_file(file);
    if (g_out.on.load()) {
        install_signal_handlers();
        // The module ends the process with quick_exit when a handler off the main thread calls
        // sys.exit(): the end of the session is written then too.
        at_quick_exit(finish);
        // A forked child records nothing: its exit would write the parent's buffered records again.
        pthread_atfork(nullptr, nullptr, [] { g_out.on.store(false); });
    }
}

// Defined after every other static of this file, so that they are constructed before it starts
// and destroyed after it finished.
struct Lifetime {
    Lifetime() { start(); }
    ~Lifetime() { finish(); }
} g_lifetime;

}  // namespace
}  // namespace rec
