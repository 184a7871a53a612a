// The session recorder and its replay. docs/recording.md describes the file and how to use both.
//
// Record mode (VQSDK_RECORD_FILE, VQSDK_RECORD_LIBRARY): the vendor's library is loaded from the
// given path with RTLD_LOCAL | RTLD_DEEPBIND, so that its own calls to its functions stay inside
// it, and every call is forwarded to it unchanged. Each call, its result and every event are
// encoded on the calling thread and appended under a lock to one in-memory buffer, which goes
// to the file in 1 MiB blocks, at normal exit, and from the handlers of the terminating signals.
// A file that cannot be written stops the recording (said once on stderr); the calls go on.
//
// Replay mode (VQSDK_REPLAY_FILE): the whole session file is read at load. Each call must be the
// next call of the recording, with the same arguments; the events recorded inside it are then
// delivered to the module's callback, and the recorded results are handed back. The first call
// that differs stops the process with a report on stderr and exit status 86.
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
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

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the session file is little-endian");

namespace rec {
namespace {

constexpr char kMagic[8] = {'V', 'Q', 'S', 'D', 'K', 'R', 'E', 'C'};
constexpr std::uint16_t kVersion = 1;
constexpr std::uint16_t kSecretsRecorded = 1;  // header flag
constexpr std::uint16_t kNoFunction = 0xffff;
constexpr int kDivergedStatus = 86;
constexpr int kUnreadableStatus = 85;
constexpr std::size_t kBufferSize = 1 << 20;
constexpr std::size_t kRecordHead = 5 + 8 + 4 + 2 + 1;  // kind, size, time, thread, function, count

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

struct Writer {
    std::mutex mu;
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
    // Never over an existing file: a process started by the recorded one inherits its
    // environment and would otherwise truncate the session being written. A device or a pipe
    // is written as it is.
    g_out.fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    struct stat st;
    if (g_out.fd < 0 && errno == EEXIST && stat(path, &st) == 0 && !S_ISREG(st.st_mode))
        g_out.fd = ::open(path, O_WRONLY | O_CLOEXEC);
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

void trampoline(const char* topic, const char* data, int len) {
    if (g_out.on.load(std::memory_order_relaxed)) {
        Item items[3] = {item(V(Text{topic}), false), item(V(len), false), item(V(Bytes{data, len}), false)};
        emit('E', kNoFunction, items, 3);
    }
    if (vqi_event_callback cb = g_callback.load(std::memory_order_acquire)) cb(topic, data, len);
}

// ---- Replay mode ------------------------------------------------------------------------------------

struct Record {
    char kind;
    std::uint16_t fn;  // the file's function index
    std::uint8_t count;
    std::size_t offset;        // of the record in the file
    const char* values;        // the tagged values
    std::size_t values_size;
};

struct Replay {
    std::mutex mu;
    std::string path;
    std::vector<char> file;
    std::vector<std::string> names;  // the file's function table
    std::vector<int> ours;           // file index -> this library's, -1 when unknown
    std::vector<Record> records;
    std::size_t cursor = 0;
    std::size_t calls = 0;  // calls matched so far
    std::string end_note;   // how the file ends
    std::vector<std::uint16_t> stack;  // the calls in progress (their file index)
} g_replay;

[[noreturn]] void unreadable(const std::string& what) {
    std::fprintf(stderr, "vqsdk replay: cannot replay %s: %s\n", g_replay.path.c_str(), what.c_str());
    std::fflush(stderr);
    _exit(kUnreadableStatus);
}

// Length of the tagged value at p (at most n bytes), 0 when it is malformed.
std::size_t value_size(const char* p, std::size_t n) {
    if (!n) return 0;
    switch (p[0]) {
    case 'n': case 's': case 'o': case 'p': case 'v': return 1;
    case 'i': case 'f': return n >= 9 ? 9 : 0;
    case '?': return n >= 2 ? 2 : 0;
    case 'b': case 't': {
        if (n < 5) return 0;
        std::uint32_t len;
        std::memcpy(&len, p + 1, 4);
        return n - 5 >= len ? 5 + std::size_t(len) : 0;
    }
    default: return 0;
    }
}

std::uint32_t blob_size(const char* p) {
    std::uint32_t n;
    std::memcpy(&n, p + 1, 4);
    return n;
}

// An event is a topic (text or null), its len, and a payload: null (as the SDK may pass it), or
// bytes holding at least len of them, since the callback reads len bytes from it.
bool event_shape(const Record& r) {
    if (r.count != 3) return false;
    const char* p = r.values;
    if (*p != 't' && *p != 'n') return false;
    p += value_size(p, r.values_size);
    if (*p != 'i') return false;
    std::int64_t len;
    std::memcpy(&len, p + 1, 8);
    p += 9;
    return *p == 'n' || (*p == 'b' && len <= std::int64_t(blob_size(p)));
}

void load_replay(const char* path) {
    g_replay.path = path;
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) unreadable(std::strerror(errno));
    struct stat st;
    if (fstat(fd, &st) != 0) unreadable(std::strerror(errno));
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
    if (f.size() < 26 || std::memcmp(f.data(), kMagic, 8) != 0) unreadable("not a session recording");
    std::uint16_t version, flags, count;
    std::memcpy(&version, &f[8], 2);
    std::memcpy(&flags, &f[10], 2);
    std::memcpy(&count, &f[24], 2);
    if (version != kVersion)
        unreadable("a session file of version " + std::to_string(version) + "; this library reads version " +
                   std::to_string(kVersion));
    g_secrets = flags & kSecretsRecorded;
    std::size_t pos = 26;
    for (int i = 0; i < count; ++i) {
        const void* nul = std::memchr(&f[pos], 0, f.size() - pos);
        if (!nul) unreadable("the file ends inside its header");
        std::size_t end = std::size_t(static_cast<const char*>(nul) - f.data());
        g_replay.names.emplace_back(&f[pos], end - pos);
        int mine = -1;
        for (int k = 0; k < function_count; ++k)
            if (g_replay.names.back() == kNames[k]) mine = k;
        g_replay.ours.push_back(mine);
        pos = end + 1;
    }
    bool ended = false;
    while (pos < f.size()) {
        if (ended) unreadable("data after the end record at byte " + std::to_string(pos));
        if (f.size() - pos < kRecordHead) break;  // a record cut short: see below
        char kind = f[pos];
        std::uint32_t size;
        std::memcpy(&size, &f[pos + 1], 4);
        if (!std::strchr("CREZ", kind) || kind == 0 || size < kRecordHead - 5)
            unreadable("corrupt record at byte " + std::to_string(pos));
        if (f.size() - pos - 5 < size) break;
        Record r{kind, 0, 0, pos, nullptr, 0};
        std::memcpy(&r.fn, &f[pos + 17], 2);
        r.count = std::uint8_t(f[pos + 19]);
        r.values = &f[pos + kRecordHead];
        r.values_size = size - (kRecordHead - 5);
        std::size_t at = 0;
        for (int k = 0; k < r.count; ++k) {
            std::size_t n = value_size(r.values + at, r.values_size - at);
            if (!n) unreadable("corrupt record at byte " + std::to_string(pos));
            at += n;
        }
        bool call = kind == 'C' || kind == 'R';
        if (at != r.values_size || (call && r.fn >= count) || (!call && r.fn != kNoFunction) ||
            (kind == 'E' && !event_shape(r)))
            unreadable("corrupt record at byte " + std::to_string(pos));
        ended = kind == 'Z';
        g_replay.records.push_back(r);
        pos += 5 + size;
    }
    if (pos < f.size()) {
        g_replay.end_note = "the recording is cut short at byte " + std::to_string(pos) + " (a partial record)";
        std::fprintf(stderr, "vqsdk replay: %s: %s; replaying the %zu whole records before it\n", path,
                     g_replay.end_note.c_str(), g_replay.records.size());
    } else if (!ended) {
        g_replay.end_note = "the recording ends without its end record (the session was cut short)";
    }
}

// A value for the report: Python-like.
void describe_value(std::string& s, const char*& p) {
    auto quoted = [&](const char* q, std::uint32_t n, bool bytes) {
        if (bytes) s += 'b';
        s += '\'';
        for (std::uint32_t k = 0; k < n && k < 160; ++k) {
            unsigned char c = static_cast<unsigned char>(q[k]);
            if (c == '\'' || c == '\\') { s += '\\'; s += char(c); }
            else if (c >= 0x20 && c < 0x7f) s += char(c);
            else { char hex[8]; std::snprintf(hex, sizeof hex, "\\x%02x", c); s += hex; }
        }
        s += '\'';
        if (n > 160) s += "... (" + std::to_string(n) + " bytes)";
    };
    char tag = *p++;
    std::int64_t i;
    double d;
    std::uint32_t n;
    switch (tag) {
    case 'n': s += "None"; break;
    case 's': s += "<secret>"; break;
    case 'o': s += "<out>"; break;
    case 'p': s += "<pointer>"; break;
    case 'v': s += "<void>"; break;
    case 'i': std::memcpy(&i, p, 8); p += 8; s += std::to_string(i); break;
    case 'f': {
        std::memcpy(&d, p, 8);
        p += 8;
        char num[32];
        std::snprintf(num, sizeof num, "%.17g", d);
        s += num;
        break;
    }
    case '?': s += *p++ ? "True" : "False"; break;
    case 'b': case 't':
        std::memcpy(&n, p, 4);
        quoted(p + 4, n, tag == 'b');
        p += 4 + n;
        break;
    }
}

std::string describe_call(const std::string& name, const char* values, int count) {
    std::string s = name + "(";
    for (int k = 0; k < count; ++k) {
        if (k) s += ", ";
        describe_value(s, values);
    }
    return s + ")";
}

std::string describe_record(std::size_t index) {
    Replay& r = g_replay;
    if (index >= r.records.size())
        return "the end of the recording" + (r.end_note.empty() ? std::string() : " (" + r.end_note + ")");
    const Record& rec = r.records[index];
    switch (rec.kind) {
    case 'C': return describe_call(r.names[rec.fn], rec.values, rec.count);
    case 'R': return "the return of " + r.names[rec.fn] + " (no further call inside it)";
    case 'Z': return "the end of the recording";
    default: return "an event";
    }
}

[[noreturn]] void diverge(const std::string& came) {
    Replay& r = g_replay;
    std::string inside;
    for (std::uint16_t fn : r.stack) inside += (inside.empty() ? "" : " > ") + r.names[fn];
    std::size_t at = r.cursor < r.records.size() ? r.records[r.cursor].offset : r.file.size();
    std::fprintf(stderr,
                 "vqsdk replay: the session diverged from the recording %s at call %zu (byte %zu of the file)\n"
                 "  inside:   %s\n  recorded: %s\n  came:     %s\n"
                 "vqsdk replay: replay stopped (exit status %d)\n",
                 r.path.c_str(), r.calls + 1, at, inside.empty() ? "(top level)" : inside.c_str(),
                 describe_record(r.cursor).c_str(), came.c_str(), kDivergedStatus);
    std::fflush(stderr);
    _exit(kDivergedStatus);
}

void deliver(const Record& e) {
    const char* p = e.values;
    std::string topic;
    bool null_topic = *p == 'n';
    std::uint32_t n;
    if (!null_topic) {
        std::memcpy(&n, p + 1, 4);
        topic.assign(p + 5, n);
    }
    p += value_size(p, 1 << 30);
    std::int64_t len;
    std::memcpy(&len, p + 1, 8);
    p += 9;
    const char* data = *p == 'n' ? nullptr : p + 5;
    if (vqi_event_callback cb = g_callback.load(std::memory_order_acquire))
        cb(null_topic ? nullptr : topic.c_str(), data, int(len));
}

// Reads one tagged result value into v.
void read_value(const char*& p, V& v) {
    std::uint32_t n;
    switch (*p) {
    case 'i': std::memcpy(&v.i, p + 1, 8); v.k = V::K::integer; break;
    case 'f': std::memcpy(&v.d, p + 1, 8); v.k = V::K::real; break;
    case 'b': case 't': std::memcpy(&n, p + 1, 4); v.p = p + 5; v.i = n; v.k = V::K::bytes; break;
    case 's': v.p = kSecretText; v.i = sizeof kSecretText - 1; v.k = V::K::bytes; break;
    default: v.p = nullptr; v.k = V::K::none; break;
    }
    p += value_size(p, 1 << 30);
}

// The results fit the call: one per out-parameter given, and a response length that the
// recorded response bytes hold (the caller reads that many); a null response stays as recorded.
bool return_shape(const Record& r, const Outs& o) {
    if (r.count != 1 + (o.res != nullptr) + (o.res_len != nullptr) + (o.addr != nullptr)) return false;
    const char* p = r.values;
    p += value_size(p, r.values_size);
    if (!o.res) return true;
    const char* res = p;
    p += value_size(p, r.values_size);
    if (!o.res_len) return *res == 'n' || *res == 'b';
    if (*p != 'i') return false;
    std::int64_t len;
    std::memcpy(&len, p + 1, 8);
    return *res == 'n' || (*res == 'b' && len <= std::int64_t(blob_size(res)));
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

void record_call(Fn f, std::initializer_list<V> args) noexcept {
    if (!g_out.on.load(std::memory_order_relaxed)) return;
    Item items[16];
    emit('C', std::uint16_t(f), items, arg_items(items, f, args, g_secrets));
}

void record_return(Fn f, V ret, const Outs& o) noexcept {
    if (!g_out.on.load(std::memory_order_relaxed)) return;
    Item items[4];
    int count = 0;
    items[count++] = item(ret, !g_secrets && (secret_mask(f) & kSecretResult));
    if (o.res) items[count++] = item(V(Bytes{*o.res, o.res_len ? *o.res_len : 0}), false);
    if (o.res_len) items[count++] = item(V(*o.res_len), false);
    if (o.addr) items[count++] = item(V(Text{*o.addr}), false);
    emit('R', std::uint16_t(f), items, count);
}

V replay_call(Fn f, std::initializer_list<V> args, const Outs& o) noexcept {
    Replay& r = g_replay;
    std::unique_lock lock(r.mu);
    Item items[16];
    std::string s = encode_values(items, arg_items(items, f, args, g_secrets));
    const Record* rec = r.cursor < r.records.size() ? &r.records[r.cursor] : nullptr;
    if (!rec || rec->kind != 'C' || r.ours[rec->fn] != int(f) || rec->count != args.size() ||
        rec->values_size != s.size() || std::memcmp(rec->values, s.data(), s.size()) != 0)
        diverge(describe_call(kNames[int(f)], s.data(), int(args.size())));
    std::uint16_t fn = rec->fn;
    ++r.cursor;
    ++r.calls;
    r.stack.push_back(fn);
    for (;;) {
        rec = r.cursor < r.records.size() ? &r.records[r.cursor] : nullptr;
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
    ++r.cursor;
    r.stack.pop_back();
    if (!return_shape(*rec, o)) {
        r.cursor--;
        unreadable("corrupt record at byte " + std::to_string(rec->offset) + " (the results of " +
                   kNames[int(f)] + ")");
    }
    const char* p = rec->values;
    V ret;
    read_value(p, ret);
    V v;
    thread_local std::string text;  // a returned text lives until the thread's next call
    if (o.res) {
        read_value(p, v);
        *o.res = const_cast<char*>(v.p);
    }
    if (o.res_len) {
        read_value(p, v);
        *o.res_len = int(v.i);
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

void start() {
    clock_gettime(CLOCK_MONOTONIC, &g_start);
    if (const char* replay = std::getenv("VQSDK_REPLAY_FILE"); replay && *replay) {
        g_mode = Mode::replay;
        load_replay(replay);
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
        // A forked child records nothing: its exit would write the parent's buffered records again.
        pthread_atfork(nullptr, nullptr, [] { g_out.on.store(false); });
    }
}

void finish() {
    if (g_mode == Mode::record && g_out.on.load()) {
        emit('Z', kNoFunction, nullptr, 0);
        std::lock_guard lock(g_out.mu);
        flush_locked();
        g_out.on.store(false);
    }
    if (g_mode == Mode::replay) {
        std::lock_guard lock(g_replay.mu);
        std::size_t left = 0;
        for (std::size_t k = g_replay.cursor; k < g_replay.records.size(); ++k)
            left += g_replay.records[k].kind == 'C';
        if (left)
            std::fprintf(stderr, "vqsdk replay: the session ended before the recording: %zu recorded calls "
                                 "not made, the next one %s\n",
                         left, describe_record(g_replay.cursor).c_str());
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
