// libFuzzer target: the replay library's loader of session files (recorder/session.cpp), and
// everything the replay then reads from a file it accepted: the report's text of each record,
// the results of each return under each set of out-parameters a call may give, and the len
// bytes of each event's payload and of each response, as the module reads them. Built and run
// by `make fuzz-recording` (with AddressSanitizer and UBSan), seeded from a recording of the demo, as
// version 2 and as version 1 files (tests/fuzz/seeds.py). The loader leaves the ends of the events'
// deliveries (version 2's H records) out of the records the replay walks; the divergence report's
// event in hand is taken from them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "session.hpp"

namespace {

using rec::session::Record;

volatile unsigned g_sink;

// Reads n bytes at p, as the module does with a response or a payload.
void touch(const char* p, std::int64_t n) {
    unsigned sum = 0;
    for (std::int64_t k = 0; k < n; ++k) sum += static_cast<unsigned char>(p[k]);
    g_sink = sum;
}

std::int64_t integer(const char* p) {
    std::int64_t v;
    std::memcpy(&v, p + 1, 8);
    return v;
}

struct Walk {
    const char* p;
    std::size_t left;
    const char* next() {
        const char* at = p;
        std::size_t n = rec::session::value_size(p, left);
        if (!n) __builtin_trap();  // the loader let through a value it cannot measure
        p += n;
        left -= n;
        return at;
    }
};

void results(const Record& r, bool res, bool res_len, bool addr) {
    if (!rec::session::return_shape(r, res, res_len, addr)) return;
    Walk w{r.values, r.values_size};
    w.next();
    const char* response = res ? w.next() : nullptr;
    const char* length = res_len ? w.next() : nullptr;
    const char* address = addr ? w.next() : nullptr;
    if (response && *response == 'b' && length && *length == 'i') {
        std::int64_t n = integer(length);
        if (n < INT32_MIN || n > INT32_MAX) __builtin_trap();  // handed on as a C int
        touch(response + 5, n);
    }
    if (address && *address == 't') touch(address + 5, rec::session::blob_size(address));
}

void event(const Record& e) {
    Walk w{e.values, e.values_size};
    const char* topic = w.next();
    const char* len = w.next();
    const char* payload = w.next();
    if (*topic == 't') {
        std::string t(topic + 5, rec::session::blob_size(topic));
        if (std::strlen(t.c_str()) != t.size()) __builtin_trap();  // the callback gets it up to its NUL
    }
    std::int64_t n = integer(len);
    if (n < INT32_MIN || n > INT32_MAX) __builtin_trap();
    if (*payload == 'b') touch(payload + 5, n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact copy, so that a read past the end is a read past a heap block.
    std::vector<char> file(data, data + size);
    rec::session::File f;
    if (!rec::session::load(file.data(), file.size(), f).empty()) return 0;
    for (const Record& r : f.records) {
        if (r.values + r.values_size > file.data() + file.size()) __builtin_trap();
        switch (r.kind) {
        case 'C': g_sink = unsigned(rec::session::describe_call(f.names.at(r.fn), r.values, r.count).size()); break;
        case 'R':
            for (int outs = 0; outs < 8; ++outs) results(r, outs & 1, outs & 2, outs & 4);
            for (char kind : {'v', 'i', 'l', 'f', 't'})
                if (rec::session::return_value_fits(r, kind) && kind == 'i' &&
                    (integer(r.values) < INT32_MIN || integer(r.values) > INT32_MAX))
                    __builtin_trap();  // returned as a C int
            g_sink = unsigned(rec::session::describe_call(f.names.at(r.fn), r.values, r.count).size());
            break;
        case 'E':
            event(r);
            g_sink = unsigned(rec::session::describe_call("event", r.values, r.count).size());
            break;
        default: break;
        }
    }
    // The divergence report's event in hand for the last call (one pass over the records): an
    // event recorded before it on its thread.
    for (std::size_t k = f.records.size(); k-- > 0;) {
        if (f.records[k].kind != 'C') continue;
        std::size_t e = rec::session::handling_event(f, k);
        if (e != rec::session::npos &&
            (e >= k || f.records[e].kind != 'E' || f.records[e].thread != f.records[k].thread))
            __builtin_trap();
        g_sink = rec::session::event_number(f, k);
        break;
    }
    return 0;
}
