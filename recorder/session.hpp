// The session file as the replay reads it: the loader, which checks every length, count and
// index the file holds in the type it is used as, and the text of a record for the reports.
// Kept apart from the rest of the library so that a fuzzer can drive it (tests/fuzz/).
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace rec::session {

inline constexpr char kMagic[8] = {'V', 'Q', 'S', 'D', 'K', 'R', 'E', 'C'};
inline constexpr std::uint16_t kVersion = 2;          // the version written
inline constexpr std::uint16_t kOldestVersion = 1;    // the oldest version read
inline constexpr std::uint16_t kSecretsRecorded = 1;  // header flag
inline constexpr std::uint16_t kNoFunction = 0xffff;
inline constexpr std::size_t kHeader = 26;                    // the fixed part of the header
inline constexpr std::size_t kRecordHead = 5 + 8 + 4 + 2 + 1;  // kind, size, time, thread, function, count

// Version 2 adds the record 'H': the end of an event's delivery (the module's callback returned
// to the SDK), on the thread of its event. The loader checks it and leaves it out of `records`:
// the replay delivers an event by calling the callback, and goes on when it returns.
struct Record {
    char kind;                 // 'C', 'R', 'E' or 'Z'
    std::uint16_t fn;          // the file's function index (C and R)
    std::uint8_t count;        // values
    std::uint32_t thread;
    std::uint64_t time;        // ns since the recording started
    std::size_t offset;        // of the record in the file
    const char* values;        // the tagged values
    std::size_t values_size;
    std::uint32_t call;        // C and R: the call's number (1, 2, ... in file order, as `dump` numbers them)
    bool top;                  // E: delivered between calls (no call in progress), from an SDK thread
};

struct File {
    std::uint16_t version = 0;
    std::uint16_t flags = 0;
    std::vector<std::string> names;  // the file's function table
    std::vector<Record> records;
    bool ended = false;              // ends with its end record
    std::string end_note;            // how the file ends, when it is not whole
    std::size_t cut_at = 0;          // a partial record starts here (0: none)
    // Version 2: per 'H' record read (they are not in `records`), in file order, its event's index
    // in `records` and the index in `records` of the first record after it.
    std::vector<std::pair<std::size_t, std::size_t>> handled;
};

// Reads the session file held in data[0, size), which must outlive `out`. Returns "" when it
// can be replayed, else the reason it cannot ("not a session recording", "corrupt record at
// byte N", ...). A file cut inside a record holds the whole records before it (cut_at).
std::string load(const char* data, std::size_t size, File& out);

// The size of the tagged value at p (at most n bytes), 0 when it is malformed.
std::size_t value_size(const char* p, std::size_t n) noexcept;

// The length of a 'b' or 't' value.
std::uint32_t blob_size(const char* p) noexcept;

// Whether the results of an R record fit the call that reads them: the return value, then one
// value per out-parameter given (res, res_len, addr), each of its kind or 'v' (not recorded:
// the call did not succeed), and a response length that is a C int the recorded bytes hold.
bool return_shape(const Record& r, bool res, bool res_len, bool addr) noexcept;
// Whether the return value of an R record is of the kind the function returns ('v' nothing,
// 'i' a C int, 'l' a long long, 'f' a double, 't' a text, null, or a secret not recorded).
bool return_value_fits(const Record& r, char kind) noexcept;

// A value as the reports show it (Python-like, at most 160 bytes of a buffer or text, every
// byte outside printable ASCII escaped); advances p past it.
void describe_value(std::string& s, const char*& p);
std::string describe_call(std::string_view name, const char* values, int count);
// Printable ASCII as it is, anything else (terminal escapes included) as \xNN.
std::string escaped(std::string_view text, std::size_t limit = 160);

// For the reports, each a pass over the records up to `index`:
// the number of the event at records[index] (1, 2, ... in file order, as `dump` numbers them);
std::uint32_t event_number(const File& f, std::size_t index);
// the index of the event the recording was handling on the thread of records[index] when it
// wrote that record, or npos. On its thread, an event is being handled from its record up to its
// 'H' record (version 2; an event without one, up to the end of the file), in a version 1 file
// up to the next record at a lower depth (the return of the call it came in) or the next event
// at its depth: `dump --event N` shows the same records.
inline constexpr std::size_t npos = std::size_t(-1);
std::size_t handling_event(const File& f, std::size_t index);

}  // namespace rec::session
