// The session file's loader for the replay (docs/recording.md gives the format). A session file
// travels (attached to a bug report, copied from production), so nothing in it is trusted: each
// length is checked against the bytes that hold it, and each number the replay hands on is
// checked in the type it is handed on as (a response length or an event's len is a C int).
#include "session.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

namespace rec::session {

std::size_t value_size(const char* p, std::size_t n) noexcept {
    if (!n) return 0;
    switch (p[0]) {
    case 'n': case 's': case 'o': case 'p': case 'v': return 1;
    case 'i': case 'f': return n >= 9 ? 9 : 0;
    case '?': return n >= 2 ? 2 : 0;
    case 'b': case 't': {
        if (n < 5) return 0;
        std::uint32_t len;
        std::memcpy(&len, p + 1, 4);
        if (n - 5 < len) return 0;
        // A text is recorded up to its NUL: one inside it is not the recorder's.
        if (p[0] == 't' && std::memchr(p + 5, 0, len)) return 0;
        return 5 + std::size_t(len);
    }
    default: return 0;
    }
}

std::uint32_t blob_size(const char* p) noexcept {
    std::uint32_t n;
    std::memcpy(&n, p + 1, 4);
    return n;
}

namespace {

std::int64_t integer(const char* p) noexcept {
    std::int64_t v;
    std::memcpy(&v, p + 1, 8);
    return v;
}

bool fits_int(std::int64_t v) noexcept { return v >= INT_MIN && v <= INT_MAX; }

// A walk over the (already checked) values of a record.
struct Values {
    const char* p;
    std::size_t left;
    explicit Values(const Record& r) : p(r.values), left(r.values_size) {}
    const char* next() noexcept {
        const char* at = p;
        std::size_t n = value_size(p, left);
        p += n;
        left -= n;
        return at;
    }
};

// An event is a topic (text or null), its len (a C int, as the callback receives it), and a
// payload: null (as the SDK may pass it), or bytes holding at least len of them, since the
// callback reads len bytes from it.
bool event_shape(const Record& r) noexcept {
    if (r.count != 3) return false;
    Values v(r);
    const char* topic = v.next();
    const char* len = v.next();
    const char* payload = v.next();
    if ((*topic != 't' && *topic != 'n') || *len != 'i') return false;
    std::int64_t n = integer(len);
    if (!fits_int(n)) return false;
    return *payload == 'n' || (*payload == 'b' && (n <= 0 || std::uint64_t(n) <= blob_size(payload)));
}

std::string at_byte(std::size_t pos) { return "corrupt record at byte " + std::to_string(pos); }

// Whether the `count` values at p all lie in the `n` bytes there. A record whose size runs past
// the end of the file while its values do not has a corrupt size; the values of a record cut
// short run past the end as its size does.
bool values_end_before(const char* p, std::size_t n, int count) noexcept {
    for (int k = 0; k < count; ++k) {
        std::size_t v = value_size(p, n);
        if (!v) return false;
        p += v;
        n -= v;
    }
    return true;
}

}  // namespace

bool return_shape(const Record& r, bool res, bool res_len, bool addr) noexcept {
    if (r.kind != 'R' || r.count != 1 + int(res) + int(res_len) + int(addr)) return false;
    Values v(r);
    v.next();  // the return value
    const char* response = res ? v.next() : nullptr;
    if (response && *response != 'b' && *response != 'n' && *response != 'v') return false;
    if (res_len) {
        const char* len = v.next();
        if (response && (*response == 'v') != (*len == 'v')) return false;  // both recorded, or neither
        if (*len != 'v') {
            if (*len != 'i' || !fits_int(integer(len))) return false;
            std::int64_t n = integer(len);
            if (response && *response == 'b' && n > 0 && std::uint64_t(n) > blob_size(response)) return false;
        }
    }
    if (addr) {
        const char* a = v.next();
        if (*a != 't' && *a != 'n' && *a != 'v') return false;
    }
    return true;
}

bool return_value_fits(const Record& r, char kind) noexcept {
    if (r.kind != 'R' || r.count < 1) return false;
    const char* v = r.values;
    switch (kind) {
    case 'v': return *v == 'v';
    case 'i': return *v == 'i' && fits_int(integer(v));
    case 'l': return *v == 'i';
    case 'f': return *v == 'f';
    case 't': return *v == 't' || *v == 'n' || *v == 's';
    default: return false;
    }
}

std::string load(const char* f, std::size_t size, File& out) {
    if (size < kHeader || std::memcmp(f, kMagic, 8) != 0) return "not a session recording";
    std::uint16_t version, count;
    std::memcpy(&version, f + 8, 2);
    out.version = version;
    std::memcpy(&out.flags, f + 10, 2);
    std::memcpy(&count, f + 24, 2);
    if (version < kOldestVersion || version > kVersion)
        return "a session file of version " + std::to_string(version) + "; this library reads versions " +
               std::to_string(kOldestVersion) + " to " + std::to_string(kVersion);
    // Version 2: an event stays open on its thread until its 'H' record, and a call's return
    // must come after the ends of the events delivered inside it.
    const bool handled = version >= 2;
    std::size_t pos = kHeader;
    for (int i = 0; i < count; ++i) {
        const void* nul = std::memchr(f + pos, 0, size - pos);
        if (!nul) return "the file ends inside its header";
        std::size_t end = std::size_t(static_cast<const char*>(nul) - f);
        out.names.emplace_back(f + pos, end - pos);
        pos = end + 1;
    }
    // The calls in progress on each thread (their function and number; in version 2 also the
    // events being delivered, as kNoFunction and their index), and the calls in progress on all
    // of them.
    std::map<std::uint32_t, std::vector<std::pair<std::uint16_t, std::size_t>>> open;
    std::size_t depth = 0;
    std::uint32_t calls = 0;
    while (pos < size) {
        if (out.ended) return "data after the end record at byte " + std::to_string(pos);
        if (size - pos < kRecordHead) break;  // a record cut short: see below
        Record r{};
        r.kind = f[pos];
        std::uint32_t rsize;
        std::memcpy(&rsize, f + pos + 1, 4);
        if (r.kind == 0 || !std::strchr(handled ? "CREZH" : "CREZ", r.kind) || rsize < kRecordHead - 5)
            return at_byte(pos);
        if (size - pos - 5 < rsize) {
            if (values_end_before(f + pos + kRecordHead, size - pos - kRecordHead, std::uint8_t(f[pos + 19])))
                return at_byte(pos) + ": its size runs past the end of the file, its values do not";
            break;  // a record cut short: see below
        }
        std::memcpy(&r.time, f + pos + 5, 8);
        std::memcpy(&r.thread, f + pos + 13, 4);
        std::memcpy(&r.fn, f + pos + 17, 2);
        r.count = std::uint8_t(f[pos + 19]);
        r.offset = pos;
        r.values = f + pos + kRecordHead;
        r.values_size = rsize - (kRecordHead - 5);
        std::size_t at = 0;
        for (int k = 0; k < r.count; ++k) {
            std::size_t n = value_size(r.values + at, r.values_size - at);
            if (!n) return at_byte(pos);
            at += n;
        }
        bool call = r.kind == 'C' || r.kind == 'R';
        if (at != r.values_size || (call && r.fn >= count) || (!call && r.fn != kNoFunction)) return at_byte(pos);
        switch (r.kind) {
        case 'C':
            if (calls == UINT32_MAX) return at_byte(pos);
            r.call = ++calls;
            open[r.thread].emplace_back(r.fn, r.call);
            ++depth;
            break;
        case 'R': {
            auto found = open.find(r.thread);
            if (found == open.end() || found->second.empty() || found->second.back().first != r.fn)
                return at_byte(pos) + ": a return outside its call";
            if (r.count < 1 || r.count > 4) return at_byte(pos);
            r.call = std::uint32_t(found->second.back().second);  // a call's number
            found->second.pop_back();
            --depth;
            break;
        }
        case 'E':
            if (!event_shape(r)) return at_byte(pos);
            r.top = depth == 0;
            if (handled) open[r.thread].emplace_back(kNoFunction, out.records.size());
            break;
        case 'H': {
            auto found = open.find(r.thread);
            if (r.count != 0) return at_byte(pos);
            if (found == open.end() || found->second.empty() || found->second.back().first != kNoFunction)
                return at_byte(pos) + ": a handler's end outside its event";
            out.handled.emplace_back(found->second.back().second, out.records.size());
            found->second.pop_back();
            pos += 5 + std::size_t(rsize);
            continue;
        }
        default:
            out.ended = true;
            break;
        }
        out.records.push_back(r);
        pos += 5 + std::size_t(rsize);
    }
    if (pos < size) {
        out.cut_at = pos;
        out.end_note = "the recording is cut short at byte " + std::to_string(pos) + " (a partial record)";
    } else if (!out.ended) {
        out.end_note = "the recording ends without its end record (the session was cut short)";
    }
    return "";
}

std::string escaped(std::string_view text, std::size_t limit) {
    std::string s;
    for (std::size_t k = 0; k < text.size() && k < limit; ++k) {
        unsigned char c = static_cast<unsigned char>(text[k]);
        if (c == '\'' || c == '\\') {
            s += '\\';
            s += char(c);
        } else if (c >= 0x20 && c < 0x7f) {
            s += char(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            s += hex;
        }
    }
    if (text.size() > limit) s += "... (" + std::to_string(text.size()) + " bytes)";
    return s;
}

void describe_value(std::string& s, const char*& p) {
    char tag = *p++;
    switch (tag) {
    case 'n': s += "None"; break;
    case 's': s += "<secret>"; break;
    case 'o': s += "<out>"; break;
    case 'p': s += "<pointer>"; break;
    case 'v': s += "<void>"; break;
    case 'i': {
        std::int64_t i;
        std::memcpy(&i, p, 8);
        p += 8;
        s += std::to_string(i);
        break;
    }
    case 'f': {
        double d;
        std::memcpy(&d, p, 8);
        p += 8;
        char num[32];
        std::snprintf(num, sizeof num, "%.17g", d);
        s += num;
        break;
    }
    case '?': s += *p++ ? "True" : "False"; break;
    case 'b': case 't': {
        std::uint32_t n;
        std::memcpy(&n, p, 4);
        std::string_view bytes(p + 4, n);
        if (tag == 'b') s += 'b';
        s += '\'';
        s += escaped(bytes.substr(0, 160), 160);
        s += '\'';
        if (n > 160) s += "... (" + std::to_string(n) + " bytes)";
        p += 4 + n;
        break;
    }
    }
}

std::string describe_call(std::string_view name, const char* values, int count) {
    std::string s = escaped(name, 80) + "(";
    for (int k = 0; k < count; ++k) {
        if (k) s += ", ";
        describe_value(s, values);
    }
    return s + ")";
}

std::uint32_t event_number(const File& f, std::size_t index) {
    std::uint32_t n = 0;
    for (std::size_t k = 0; k <= index && k < f.records.size(); ++k) n += f.records[k].kind == 'E';
    return n;
}

namespace {

// Version 2: the innermost event on the thread of records[index], recorded before it, whose 'H'
// comes after it (or never does). The loader pairs each 'H' with its event on a stack per thread,
// so the events being handled at a record are nested, and the latest of them is the innermost.
std::size_t handled_at(const File& f, std::size_t index) {
    std::vector<std::pair<std::size_t, std::size_t>> ends(f.handled);  // (event, first record after its H)
    std::sort(ends.begin(), ends.end());
    const std::uint32_t thread = f.records[index].thread;
    std::size_t found = npos;
    auto end = ends.begin();
    for (std::size_t k = 0; k < index; ++k) {
        const Record& r = f.records[k];
        if (r.kind != 'E') continue;
        while (end != ends.end() && end->first < k) ++end;
        bool ended = end != ends.end() && end->first == k;
        if (r.thread == thread && (!ended || end->second > index)) found = k;
    }
    return found;
}

}  // namespace

std::size_t handling_event(const File& f, std::size_t index) {
    if (index >= f.records.size()) return npos;
    if (f.version >= 2) return handled_at(f, index);
    struct Thread {
        std::size_t calls = 0;                                  // calls in progress
        std::vector<std::pair<std::size_t, std::size_t>> events;  // (index, depth) being handled, innermost last
    };
    std::map<std::uint32_t, Thread> threads;
    for (std::size_t k = 0; k <= index && k < f.records.size(); ++k) {
        const Record& r = f.records[k];
        Thread& t = threads[r.thread];
        if (r.kind == 'R' && t.calls) --t.calls;
        std::size_t depth = t.calls;  // a call's is the depth it is made at; a return's, of its call
        if (r.kind == 'C') ++t.calls;
        while (!t.events.empty() &&
               (t.events.back().second > depth || (r.kind == 'E' && t.events.back().second == depth)))
            t.events.pop_back();
        if (k == index) return t.events.empty() ? npos : t.events.back().first;
        if (r.kind == 'E') t.events.emplace_back(k, depth);
    }
    return npos;
}

}  // namespace rec::session
