// A small deterministic market: what a strategy session needs from the SDK, without the vendor's
// library. standin_market_enable(seed) installs it through the stand-in's hooks; the test
// double's own machinery (call log, scripts, event queue) is untouched and answers everything
// the market does not.
//
// Time is market time, in ms since the epoch, read as a plain calendar (no time zone, no
// trading calendar: the session runs without a break from its start to its end). vqi_run goes
// through the session as fast as the handler allows:
//   - every tick interval (3 s by default, on multiples of it), each symbol's price takes one
//     step of its random walk, in whole cents. The walk depends only on the seed, the symbol's
//     name and the step, so a seed gives the same prices on every machine and whatever else is
//     subscribed;
//   - at one instant: for each symbol in the order first seen, its tick and its bars ending
//     then; then the timers due;
//   - an order placed in a handler is matched right after the handler returns, at the same
//     instant, before anything else is delivered;
//   - vqi_run returns when vqi_stop was called (the next vqi_run goes on from there) or at the
//     session's end; vqi_poll delivers one event.
//
// Functions taken over, and their JSON:
//   vqi_set_backtest_config  starts a session: start/end "YYYY-MM-DD[ HH:MM:SS]", initial cash,
//                            commission and slippage ratios; subscriptions, timers, orders reset
//   vqi_subscribe            symbols "A,B", frequency "tick" or a bar length "60s", "1m", "1h",
//                            "1d" (a multiple of the tick interval)
//   vqi_set_timer(ms)        topic "timer"       {"interval","created_at"}     (<= 0: off)
//   vqi_user_timer(ms, ms)   topic "user_timer"  {"timer_id","created_at"}     (period 0: once)
//   vqi_schedule("1d", "HH:MM:SS")  topic "schedule" {"date_rule","time_rule","created_at"}
//   ticks  topic "tick" {"symbol","created_at","price","open","high","low","cum_volume",
//          "cum_amount","last_volume","last_amount","quotes":[{"bid_p","bid_v","ask_p","ask_v"}]}
//   bars   topic "bar"  {"symbol","frequency","bob","eob","open","high","low","close","volume",
//          "amount","pre_close"}
//   vqi_place_order_pb  {"symbol","side":"buy"|"sell","volume","order_type":"market"|"limit",
//                       "price" (limit),"cl_ord_id" (optional)} -> the order, status "new";
//                       then topic "execrpt" (a fill) and "order_status" (the order, now
//                       "filled"), or "order_status" alone ("rejected", with "rej_reason").
//                       There is no order book: an order fills whole at the last price (with
//                       slippage; a limit order within its limit) or is rejected.
//   vqi_cancel_orders_pb  {"cl_ord_id"}: an order not matched yet (placed in the handler running,
//                         or before vqi_run) is cancelled, "order_status" ("cancelled") next;
//                         any other order (matched, or unknown): kBadRequest
//   vqi_cancel_all_orders_pb  every order not matched yet cancelled (any request)
//   vqi_get_orders_pb, vqi_get_execution_reports_pb: JSON arrays of orders, of fills
//   vqi_get_cash_pb      {"account_id","nav","available","market_value","commission","pnl"}
//   vqi_get_positions_pb [{"symbol","side","volume","vwap","price","market_value","fpnl"}]
// A request or argument the market cannot read is answered with kBadRequest.
// docs/market.md gives the same as tables for users; tests/test_market_doc.py holds it to this code.
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "standin.hpp"

namespace standin {
namespace {

constexpr int kBadRequest = 1001;  // unreadable request or argument
constexpr long long kDay = 86'400'000;

// ---- Time ---------------------------------------------------------------------------------------

// "HH:MM:SS" at `at` in s, as ms of the day.
std::optional<long long> parse_clock(std::string_view s, std::size_t at = 0) {
    if (s.size() != at + 8 || s[at + 2] != ':' || s[at + 5] != ':') return std::nullopt;
    int part[3];
    for (int i = 0; i < 3; ++i) {
        const char* p = s.data() + at + 3 * i;
        if (p[0] < '0' || p[0] > '9' || p[1] < '0' || p[1] > '9') return std::nullopt;
        part[i] = (p[0] - '0') * 10 + (p[1] - '0');
    }
    if (part[0] > 23 || part[1] > 59 || part[2] > 59) return std::nullopt;
    return ((part[0] * 60LL + part[1]) * 60 + part[2]) * 1000;
}

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS" or with a 'T' between them.
std::optional<long long> parse_time(std::string_view s) {
    if (s.size() < 10 || s[4] != '-' || s[7] != '-') return std::nullopt;
    int y = 0, m = 0, d = 0;
    auto digits = [&](std::size_t at, std::size_t n, int& out) {
        return std::from_chars(s.data() + at, s.data() + at + n, out).ptr == s.data() + at + n;
    };
    if (!digits(0, 4, y) || !digits(5, 2, m) || !digits(8, 2, d)) return std::nullopt;
    using namespace std::chrono;
    year_month_day date{year{y}, month{static_cast<unsigned>(m)}, day{static_cast<unsigned>(d)}};
    if (!date.ok()) return std::nullopt;
    long long ms = sys_days{date}.time_since_epoch().count() * kDay;
    if (s.size() == 10) return ms;
    if (s[10] != ' ' && s[10] != 'T') return std::nullopt;
    auto clock = parse_clock(s, 11);
    return clock ? std::optional(ms + *clock) : std::nullopt;
}

std::string format_time(long long ms) {
    using namespace std::chrono;
    long long days = ms >= 0 ? ms / kDay : -((-ms + kDay - 1) / kDay);
    long long rest = ms - days * kDay;
    year_month_day date{sys_days{std::chrono::days{days}}};
    char text[32];
    int n = std::snprintf(text, sizeof text, "%04d-%02u-%02u %02lld:%02lld:%02lld", static_cast<int>(date.year()),
                          static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), rest / 3'600'000,
                          rest / 60'000 % 60, rest / 1000 % 60);
    if (rest % 1000) n += std::snprintf(text + n, sizeof text - n, ".%03lld", rest % 1000);
    return std::string(text, static_cast<std::size_t>(n));
}

// A bar frequency in ms: "60s", "1m", "1h", "1d"; 0 for "tick"; nullopt otherwise.
std::optional<long long> parse_frequency(std::string_view f) {
    if (f == "tick") return 0;
    if (f.size() < 2) return std::nullopt;
    long long n = 0;
    auto [end, ec] = std::from_chars(f.data(), f.data() + f.size() - 1, n);
    if (ec != std::errc() || end != f.data() + f.size() - 1 || n <= 0 || n > 366) return std::nullopt;
    switch (f.back()) {
    case 's': return n * 1000;
    case 'm': return n * 60'000;
    case 'h': return n * 3'600'000;
    case 'd': return n * kDay;
    default: return std::nullopt;
    }
}

// ---- Random walk ----------------------------------------------------------------------------------

struct Rng {  // splitmix64: the same numbers everywhere
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    long long below(long long n) { return static_cast<long long>(next() % static_cast<std::uint64_t>(n)); }
};

std::uint64_t seed_for(std::uint64_t seed, std::string_view name) {
    std::uint64_t h = 0xCBF29CE484222325ULL;  // FNV-1a
    for (unsigned char c : name) h = (h ^ c) * 0x100000001B3ULL;
    Rng mix{h ^ seed};
    return mix.next();
}

// ---- JSON ---------------------------------------------------------------------------------------------

class Json {
public:
    Json& begin(char bracket) { sep(); out_ += bracket; first_ = true; return *this; }
    Json& end(char bracket) { out_ += bracket; first_ = false; return *this; }
    Json& key(std::string_view k) { sep(); quote(k); out_ += ':'; first_ = true; return *this; }
    Json& str(std::string_view v) { sep(); quote(v); return *this; }
    Json& integer(long long v) { sep(); out_ += std::to_string(v); return *this; }
    Json& number(double v) {
        sep();
        char text[32];
        auto r = std::to_chars(text, text + sizeof text, v);  // shortest form that reads back exactly
        out_.append(text, r.ptr);
        return *this;
    }
    Json& cents(long long v) { return number(static_cast<double>(v) / 100); }
    Json& time(long long ms) { return str(format_time(ms)); }
    std::string take() { return std::move(out_); }

private:
    void sep() {
        if (!first_) out_ += ',';
        first_ = false;
    }
    void quote(std::string_view v) {
        out_ += '"';
        for (unsigned char c : v) {
            if (c == '"' || c == '\\') {
                out_ += '\\';
                out_ += static_cast<char>(c);
            } else if (c < 0x20) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out_ += esc;
            } else {
                out_ += static_cast<char>(c);
            }
        }
        out_ += '"';
    }
    std::string out_;
    bool first_ = true;
};

// A request: one flat JSON object of strings, numbers, booleans and nulls.
using Value = std::variant<std::monostate, bool, double, std::string>;
using Fields = std::map<std::string, Value, std::less<>>;

class Reader {
public:
    explicit Reader(std::string_view s) : s_(s) {}

    std::optional<Fields> object() {
        Fields fields;
        if (!eat('{')) return std::nullopt;
        if (!eat('}')) {
            do {
                std::string k;
                if (!string(k) || !eat(':')) return std::nullopt;
                auto v = value();
                if (!v) return std::nullopt;
                fields.insert_or_assign(std::move(k), std::move(*v));
            } while (eat(','));
            if (!eat('}')) return std::nullopt;
        }
        space();
        if (at_ != s_.size()) return std::nullopt;
        return fields;
    }

private:
    void space() {
        while (at_ < s_.size() && (s_[at_] == ' ' || s_[at_] == '\t' || s_[at_] == '\n' || s_[at_] == '\r')) ++at_;
    }
    bool eat(char c) {
        space();
        if (at_ < s_.size() && s_[at_] == c) return ++at_, true;
        return false;
    }
    bool word(std::string_view w) {
        if (s_.substr(at_, w.size()) != w) return false;
        at_ += w.size();
        return true;
    }
    std::optional<Value> value() {
        space();
        if (at_ >= s_.size()) return std::nullopt;
        if (s_[at_] == '"') {
            std::string v;
            return string(v) ? std::optional<Value>(std::move(v)) : std::nullopt;
        }
        if (word("true")) return Value(true);
        if (word("false")) return Value(false);
        if (word("null")) return Value();
        double v = 0;
        auto [end, ec] = std::from_chars(s_.data() + at_, s_.data() + s_.size(), v);
        if (ec != std::errc()) return std::nullopt;
        at_ = static_cast<std::size_t>(end - s_.data());
        return Value(v);
    }
    bool hex4(unsigned& u) {
        if (at_ + 4 > s_.size()) return false;
        auto [end, ec] = std::from_chars(s_.data() + at_, s_.data() + at_ + 4, u, 16);
        if (ec != std::errc() || end != s_.data() + at_ + 4) return false;
        at_ += 4;
        return true;
    }
    bool string(std::string& out) {
        if (!eat('"')) return false;
        while (at_ < s_.size()) {
            char c = s_[at_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= s_.size()) return false;
            switch (char e = s_[at_++]) {
            case '"': case '\\': case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned u = 0, low = 0;
                if (!hex4(u)) return false;
                if (u >= 0xD800 && u < 0xDC00) {  // a surrogate pair
                    if (!word("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                    u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                }
                utf8(u, out);
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    static void utf8(unsigned u, std::string& out) {
        if (u < 0x80) {
            out += static_cast<char>(u);
        } else if (u < 0x800) {
            out += static_cast<char>(0xC0 | (u >> 6));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else if (u < 0x10000) {
            out += static_cast<char>(0xE0 | (u >> 12));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (u >> 18));
            out += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (u & 0x3F));
        }
    }

    std::string_view s_;
    std::size_t at_ = 0;
};

const std::string* text_field(const Fields& f, std::string_view key) {
    auto it = f.find(key);
    return it == f.end() ? nullptr : std::get_if<std::string>(&it->second);
}

const double* number_field(const Fields& f, std::string_view key) {
    auto it = f.find(key);
    return it == f.end() ? nullptr : std::get_if<double>(&it->second);
}

// ---- The market's state -------------------------------------------------------------------------------

struct Bar {
    long long length;  // ms
    bool open = false;
    long long o = 0, h = 0, l = 0, c = 0, volume = 0, amount = 0, pre_close = 0;
};

struct Instrument {
    std::string name;
    Rng rng;
    long long price = 0, open = 0, high = 0, low = 0;  // cents
    long long bid_v = 0, ask_v = 0, last_volume = 0, last_amount = 0, cum_volume = 0, cum_amount = 0;
    bool ticks = false;         // subscribed at "tick"
    std::vector<Bar> bars = {};  // subscribed bar lengths
};

enum class Side : bool { buy, sell };
enum class Status { fresh, filled, rejected, cancelled };  // fresh: placed, not matched yet

struct Order {
    std::string id;
    std::size_t instrument;
    Side side;
    bool limit;
    long long price;  // limit price, cents
    long long volume;
    Status status = Status::fresh;
    long long filled_volume = 0, filled_amount = 0;
    std::string reason = {};
    long long created_at, updated_at;
};

struct Fill {
    std::string id, order_id;
    std::size_t instrument;
    Side side;
    long long price, volume, amount, commission, at;
};

struct Holding {
    long long volume = 0, cost = 0;  // cost: cents paid for what is held
};

enum class TimerKind { timer, user, schedule };

struct Timer {
    TimerKind kind;
    int id;
    long long next, period;  // period 0: fires once
    std::string date_rule, time_rule;
};

struct Event {
    std::string topic, data;
};

struct Market {
    std::mutex mu;
    std::uint64_t seed = 0;
    long long tick_setting = 3000, length_setting = 0;

    // the session
    long long tick = 3000, start = 0, end = 0, clock = 0;
    long long initial_cash = 0;  // cents
    double commission_ratio = 0, slippage_ratio = 0;
    bool finished = false;
    std::vector<Instrument> instruments;  // in the order first seen
    std::vector<Timer> timers;
    std::deque<Event> urgent;   // answers to the handler just run
    std::deque<Event> pending;  // the rest of the current instant
    long long cash = 0, commission = 0;  // cents
    std::vector<Order> orders;
    std::size_t matched = 0;  // orders before this one have met the market
    std::vector<Fill> fills;
    std::map<std::string, Holding, std::less<>> holdings;
};

Market& market() {
    static Market* m = new Market;  // never destroyed: nothing runs at exit
    return *m;
}

int success() { return standin_default_status(); }

long long floor_div(long long a, long long b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// Steps taken by every instrument between the session's start and t: one per multiple of the tick
// interval in (start, t].
long long steps_until(const Market& m, long long t) { return floor_div(t, m.tick) - floor_div(m.start, m.tick); }

void step(Instrument& s) {
    long long w = std::max(1LL, s.price / 500);  // about 0.2% a step at most
    s.price = std::max(1LL, s.price + s.rng.below(2 * w + 1) - w);
    s.last_volume = 100 * (1 + s.rng.below(30));
    s.bid_v = 100 * (1 + s.rng.below(50));
    s.ask_v = 100 * (1 + s.rng.below(50));
    s.last_amount = s.price * s.last_volume;
    if (s.cum_volume == 0) s.open = s.high = s.low = s.price;
    s.high = std::max(s.high, s.price);
    s.low = std::min(s.low, s.price);
    s.cum_volume += s.last_volume;
    s.cum_amount += s.last_amount;
}

std::size_t instrument(Market& m, std::string_view name) {
    for (std::size_t i = 0; i < m.instruments.size(); ++i)
        if (m.instruments[i].name == name) return i;
    Instrument s{.name = std::string(name), .rng = Rng{seed_for(m.seed, name)}};
    s.price = s.open = s.high = s.low = 500 + s.rng.below(4501);  // 5.00 to 50.00
    for (long long n = steps_until(m, m.clock); n > 0; --n) step(s);
    m.instruments.push_back(std::move(s));
    return m.instruments.size() - 1;
}

void new_session(Market& m, long long start, long long end, long long cash, double commission, double slippage) {
    m.tick = m.tick_setting;
    m.start = m.clock = start;
    m.end = m.length_setting > 0 ? std::min(end, start + m.length_setting) : end;
    m.initial_cash = m.cash = cash;
    m.commission_ratio = commission;
    m.slippage_ratio = slippage;
    m.finished = false;
    m.instruments.clear();
    m.timers.clear();
    m.urgent.clear();
    m.pending.clear();
    m.commission = 0;
    m.orders.clear();
    m.matched = 0;
    m.fills.clear();
    m.holdings.clear();
}

void default_session(Market& m) {
    long long day = *parse_time("2026-01-05");
    new_session(m, day + *parse_clock("09:30:00"), day + *parse_clock("15:00:00"), 100'000'000, 0, 0);
}

// ---- Events -------------------------------------------------------------------------------------------

std::string tick_json(const Market& m, const Instrument& s) {
    Json j;
    j.begin('{').key("symbol").str(s.name).key("created_at").time(m.clock);
    j.key("price").cents(s.price).key("open").cents(s.open).key("high").cents(s.high).key("low").cents(s.low);
    j.key("cum_volume").integer(s.cum_volume).key("cum_amount").cents(s.cum_amount);
    j.key("last_volume").integer(s.last_volume).key("last_amount").cents(s.last_amount);
    j.key("quotes").begin('[').begin('{');
    j.key("bid_p").cents(std::max(1LL, s.price - 1)).key("bid_v").integer(s.bid_v);
    j.key("ask_p").cents(s.price + 1).key("ask_v").integer(s.ask_v);
    return j.end('}').end(']').end('}').take();
}

std::string bar_json(const Market& m, const Instrument& s, const Bar& b) {
    Json j;
    j.begin('{').key("symbol").str(s.name).key("frequency").str(std::to_string(b.length / 1000) + "s");
    j.key("bob").time(m.clock - b.length).key("eob").time(m.clock);
    j.key("open").cents(b.o).key("high").cents(b.h).key("low").cents(b.l).key("close").cents(b.c);
    j.key("volume").integer(b.volume).key("amount").cents(b.amount).key("pre_close").cents(b.pre_close);
    return j.end('}').take();
}

const char* status_name(Status s) {
    switch (s) {
    case Status::fresh: return "new";
    case Status::filled: return "filled";
    case Status::rejected: return "rejected";
    case Status::cancelled: return "cancelled";
    }
    return "";
}

void order_json(Json& j, const Market& m, const Order& o) {
    j.begin('{').key("cl_ord_id").str(o.id).key("symbol").str(m.instruments[o.instrument].name);
    j.key("side").str(o.side == Side::buy ? "buy" : "sell").key("order_type").str(o.limit ? "limit" : "market");
    j.key("price").cents(o.limit ? o.price : 0).key("volume").integer(o.volume).key("status").str(status_name(o.status));
    j.key("filled_volume").integer(o.filled_volume).key("filled_amount").cents(o.filled_amount);
    j.key("filled_vwap").number(o.filled_volume ? static_cast<double>(o.filled_amount) / o.filled_volume / 100 : 0.0);
    if (!o.reason.empty()) j.key("rej_reason").str(o.reason);
    j.key("created_at").time(o.created_at).key("updated_at").time(o.updated_at).end('}');
}

void fill_json(Json& j, const Market& m, const Fill& f) {
    j.begin('{').key("exec_id").str(f.id).key("cl_ord_id").str(f.order_id);
    j.key("symbol").str(m.instruments[f.instrument].name).key("side").str(f.side == Side::buy ? "buy" : "sell");
    j.key("price").cents(f.price).key("volume").integer(f.volume).key("amount").cents(f.amount);
    j.key("commission").cents(f.commission).key("created_at").time(f.at).end('}');
}

void emit_order(Market& m, std::deque<Event>& to, const Order& o) {
    Json j;
    order_json(j, m, o);
    to.push_back({"order_status", j.take()});
}

// ---- Matching ------------------------------------------------------------------------------------------

long long commission_on(const Market& m, long long amount) {
    return std::llround(static_cast<double>(amount) * m.commission_ratio);
}

// The price a market order gets now, slippage included.
long long market_price(const Market& m, const Instrument& s, Side side) {
    long long slip = std::llround(static_cast<double>(s.price) * m.slippage_ratio);
    return side == Side::buy ? s.price + slip : std::max(1LL, s.price - slip);
}

void finish(Market& m, Order& o, Status status, std::string reason = {}) {
    o.status = status;
    o.reason = std::move(reason);
    o.updated_at = m.clock;
    emit_order(m, m.urgent, o);
}

// A placed order meets the market: it fills whole at the last price or is rejected.
void match(Market& m, Order& o) {
    const Instrument& s = m.instruments[o.instrument];
    long long price = market_price(m, s, o.side);
    if (o.limit && (o.side == Side::buy ? s.price > o.price : s.price < o.price))
        return finish(m, o, Status::rejected, "limit price not reached");
    if (o.limit) price = o.side == Side::buy ? std::min(price, o.price) : std::max(price, o.price);
    long long amount = price * o.volume, fee = commission_on(m, amount);
    Holding& h = m.holdings[s.name];
    if (o.side == Side::buy) {
        if (amount + fee > m.cash) return finish(m, o, Status::rejected, "insufficient cash");
        m.cash -= amount + fee;
        h.volume += o.volume;
        h.cost += amount;
    } else {
        if (o.volume > h.volume) return finish(m, o, Status::rejected, "insufficient position");
        m.cash += amount - fee;
        h.cost = o.volume == h.volume ? 0 : h.cost - std::llround(static_cast<double>(h.cost) * o.volume / h.volume);
        h.volume -= o.volume;
    }
    m.commission += fee;
    o.filled_volume = o.volume;
    o.filled_amount = amount;
    Fill f{std::to_string(m.fills.size() + 1), o.id, o.instrument, o.side, price, o.volume, amount, fee, m.clock};
    f.id.insert(0, 1, 'e');
    Json j;
    fill_json(j, m, f);
    m.fills.push_back(std::move(f));
    m.urgent.push_back({"execrpt", j.take()});
    finish(m, o, Status::filled);
}

// ---- The clock ----------------------------------------------------------------------------------------

void fire(Market& m, Timer& t) {
    Json j;
    j.begin('{');
    switch (t.kind) {
    case TimerKind::timer: j.key("interval").integer(t.period); break;
    case TimerKind::user: j.key("timer_id").integer(t.id); break;
    case TimerKind::schedule: j.key("date_rule").str(t.date_rule).key("time_rule").str(t.time_rule); break;
    }
    j.key("created_at").time(m.clock).end('}');
    static const char* const topics[] = {"timer", "user_timer", "schedule"};
    m.pending.push_back({topics[static_cast<int>(t.kind)], j.take()});
    t.next += t.period;
}

// Moves the clock to the next instant and queues its events; false at the session's end.
bool advance(Market& m) {
    long long next_step = (floor_div(m.clock, m.tick) + 1) * m.tick;  // every step up to the clock is taken
    long long t = next_step;
    for (const Timer& timer : m.timers) t = std::min(t, timer.next);
    if (t > m.end) {
        m.finished = true;
        m.clock = m.end;
        return false;
    }
    m.clock = t;
    if (t == next_step) {
        for (std::size_t i = 0; i < m.instruments.size(); ++i) {
            Instrument& s = m.instruments[i];
            step(s);
            if (s.ticks) m.pending.push_back({"tick", tick_json(m, s)});
            for (Bar& b : s.bars) {
                if (!b.open) b = {b.length, true, s.price, s.price, s.price, s.price, 0, 0, b.pre_close};
                b.h = std::max(b.h, s.price);
                b.l = std::min(b.l, s.price);
                b.c = s.price;
                b.volume += s.last_volume;
                b.amount += s.last_amount;
                if (t % b.length == 0) {
                    m.pending.push_back({"bar", bar_json(m, s, b)});
                    b = {b.length, false, 0, 0, 0, 0, 0, 0, b.c};
                }
            }
        }
    }
    for (Timer& timer : m.timers)
        if (timer.next == t) fire(m, timer);
    std::erase_if(m.timers, [&](const Timer& timer) { return timer.period == 0 && timer.next == t; });
    return true;
}

// Delivers the next event of the session; false when there is none left.
bool deliver_one() {
    Market& m = market();
    Event e;
    {
        std::lock_guard lock(m.mu);
        for (; m.matched < m.orders.size(); ++m.matched)
            if (m.orders[m.matched].status == Status::fresh) match(m, m.orders[m.matched]);
        std::deque<Event>* from = nullptr;
        while (!from) {
            if (!m.urgent.empty()) from = &m.urgent;
            else if (!m.pending.empty()) from = &m.pending;
            else if (m.finished || !advance(m)) return false;
        }
        e = std::move(from->front());
        from->pop_front();
    }
    deliver(e.topic.c_str(), e.data.data(), static_cast<int>(e.data.size()));  // no lock: handlers call back
    return true;
}

// ---- The hooks ----------------------------------------------------------------------------------------

int run() {
    while (!stop_requested() && deliver_one()) {
    }
    return success();
}

int poll() { return deliver_one() ? 1 : 0; }

long long now() {
    std::lock_guard lock(market().mu);
    return market().clock;
}

double now_plus() { return static_cast<double>(now()) / 1000; }

int backtest_config(const BacktestConfig& c) {
    auto start = parse_time(view(c.start_time)), end = parse_time(view(c.end_time));
    auto within = [](double x, double most) { return x >= 0 && x <= most; };  // false for NaN
    if (!start || !end || *end <= *start || !within(c.initial_cash, 1e12) || !within(c.commission_ratio, 1) ||
        !within(c.slippage_ratio, 1))
        return kBadRequest;
    Market& m = market();
    std::lock_guard lock(m.mu);
    new_session(m, *start, *end, std::llround(c.initial_cash * 100), c.commission_ratio, c.slippage_ratio);
    return success();
}

// Calls f(name) for each name of a comma-separated list; false if one is empty.
template <class F>
bool each_symbol(std::string_view list, F f) {
    while (true) {
        std::size_t comma = list.find(',');
        std::string_view name = list.substr(0, comma);
        while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
        while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
        if (name.empty()) return false;
        f(name);
        if (comma == std::string_view::npos) return true;
        list.remove_prefix(comma + 1);
    }
}

int subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous) {
    Market& m = market();
    std::lock_guard lock(m.mu);
    auto length = parse_frequency(view(frequency));
    if (!length || *length % m.tick != 0) return kBadRequest;
    if (!each_symbol(view(symbols), [](std::string_view) {})) return kBadRequest;
    if (unsubscribe_previous)
        for (Instrument& s : m.instruments) s.ticks = false, s.bars.clear();
    each_symbol(view(symbols), [&](std::string_view name) {
        Instrument& s = m.instruments[instrument(m, name)];
        if (*length == 0) s.ticks = true;
        else if (std::none_of(s.bars.begin(), s.bars.end(), [&](const Bar& b) { return b.length == *length; }))
            s.bars.push_back({*length, false, 0, 0, 0, 0, 0, 0, s.price});
    });
    return success();
}

int unsubscribe(const char* symbols, const char* frequency) {
    Market& m = market();
    std::lock_guard lock(m.mu);
    auto length = parse_frequency(view(frequency));
    if (!length) return kBadRequest;
    bool ok = each_symbol(view(symbols), [&](std::string_view name) {
        for (Instrument& s : m.instruments) {
            if (s.name != name) continue;
            if (*length == 0) s.ticks = false;
            else std::erase_if(s.bars, [&](const Bar& b) { return b.length == *length; });
        }
    });
    return ok ? success() : kBadRequest;
}

void set_timer(int interval) {
    Market& m = market();
    std::lock_guard lock(m.mu);
    std::erase_if(m.timers, [](const Timer& t) { return t.kind == TimerKind::timer; });
    if (interval > 0) m.timers.push_back({TimerKind::timer, 0, m.clock + interval, interval, {}, {}});
}

int user_timer(int period, int start_delay) {
    if (period < 0 || start_delay < 0) return -1;
    Market& m = market();
    std::lock_guard lock(m.mu);
    int id = next_timer_id();
    m.timers.push_back({TimerKind::user, id, m.clock + start_delay, period, {}, {}});
    return id;
}

void user_timer_stop(int timer_id) {
    Market& m = market();
    std::lock_guard lock(m.mu);
    std::erase_if(m.timers, [&](const Timer& t) { return t.kind == TimerKind::user && t.id == timer_id; });
}

int schedule(const char* date_rule, const char* time_rule) {
    auto at = parse_clock(view(time_rule));
    if (view(date_rule) != "1d" || !at) return kBadRequest;
    Market& m = market();
    std::lock_guard lock(m.mu);
    long long next = m.clock - ((m.clock % kDay) + kDay) % kDay + *at;  // today at time_rule
    if (next < m.clock) next += kDay;
    m.timers.push_back({TimerKind::schedule, 0, next, kDay, std::string(view(date_rule)), std::string(view(time_rule))});
    return success();
}

int place_order(Market& m, std::string_view request, std::string& response) {
    auto f = Reader(request).object();
    if (!f) return kBadRequest;
    const std::string *symbol = text_field(*f, "symbol"), *side = text_field(*f, "side");
    const std::string *type = text_field(*f, "order_type"), *id = text_field(*f, "cl_ord_id");
    const double *volume = number_field(*f, "volume"), *price = number_field(*f, "price");
    bool limit = type && *type == "limit";
    if (!symbol || symbol->empty() || !side || (*side != "buy" && *side != "sell") ||
        (type && !limit && *type != "market") ||
        !volume || !(*volume > 0) || *volume != std::floor(*volume) || *volume > 1e9 ||
        (limit && (!price || !(*price > 0) || *price > 1e6)))  // amounts stay far inside 64 bits
        return kBadRequest;
    std::string name = id && !id->empty() ? *id : std::to_string(m.orders.size() + 1).insert(0, 1, 'o');
    for (const Order& o : m.orders)
        if (o.id == name) return kBadRequest;

    Order o{.id = name,
            .instrument = instrument(m, *symbol),
            .side = *side == "buy" ? Side::buy : Side::sell,
            .limit = limit,
            .price = limit ? std::llround(*price * 100) : 0,
            .volume = static_cast<long long>(*volume),
            .created_at = m.clock,
            .updated_at = m.clock};
    Json j;
    if (m.finished) finish(m, o, Status::rejected, "market closed");
    order_json(j, m, o);
    m.orders.push_back(std::move(o));
    response = j.take();
    return success();
}

// An order is matched right after the handler that placed it returns: until then it can be
// cancelled, and its order_status comes next instead of its fill.
bool command(Fn fn, std::string_view request, int& status) {
    Market& m = market();
    std::lock_guard lock(m.mu);
    switch (fn) {
    case Fn::vqi_cancel_orders_pb: {
        auto f = Reader(request).object();
        const std::string* id = f ? text_field(*f, "cl_ord_id") : nullptr;
        auto o = std::find_if(m.orders.begin(), m.orders.end(), [&](const Order& x) { return id && x.id == *id; });
        if (o == m.orders.end() || o->status != Status::fresh) {
            status = kBadRequest;
            return true;
        }
        finish(m, *o, Status::cancelled);
        break;
    }
    case Fn::vqi_cancel_all_orders_pb:
        for (Order& o : m.orders)
            if (o.status == Status::fresh) finish(m, o, Status::cancelled);
        break;
    default: return false;
    }
    status = success();
    return true;
}

bool query(Fn fn, std::string_view request, std::string& response, int& status) {
    Market& m = market();
    std::lock_guard lock(m.mu);
    Json j;
    switch (fn) {
    case Fn::vqi_place_order_pb: status = place_order(m, request, response); return true;
    case Fn::vqi_get_orders_pb:
        j.begin('[');
        for (const Order& o : m.orders) order_json(j, m, o);
        j.end(']');
        break;
    case Fn::vqi_get_execution_reports_pb:
        j.begin('[');
        for (const Fill& f : m.fills) fill_json(j, m, f);
        j.end(']');
        break;
    case Fn::vqi_get_cash_pb: {
        long long value = 0;
        for (const auto& [name, h] : m.holdings) value += h.volume * m.instruments[instrument(m, name)].price;
        j.begin('{').key("account_id").str("standin").key("nav").cents(m.cash + value);
        j.key("available").cents(m.cash).key("market_value").cents(value);
        j.key("commission").cents(m.commission).key("pnl").cents(m.cash + value - m.initial_cash).end('}');
        break;
    }
    case Fn::vqi_get_positions_pb:
        j.begin('[');
        for (const auto& [name, h] : m.holdings) {
            if (h.volume == 0) continue;
            long long price = m.instruments[instrument(m, name)].price;
            j.begin('{').key("symbol").str(name).key("side").str("long").key("volume").integer(h.volume);
            j.key("vwap").number(static_cast<double>(h.cost) / h.volume / 100);
            j.key("price").cents(price).key("market_value").cents(h.volume * price);
            j.key("fpnl").cents(h.volume * price - h.cost).end('}');
        }
        j.end(']');
        break;
    default: return false;
    }
    response = j.take();
    status = success();
    return true;
}

constinit const Hooks kHooks = {
    .query = query,
    .command = command,
    .subscribe = subscribe,
    .unsubscribe = unsubscribe,
    .run = run,
    .poll = poll,
    .now = now,
    .now_plus = now_plus,
    .backtest_config = backtest_config,
    .set_timer = set_timer,
    .schedule = schedule,
    .user_timer = user_timer,
    .user_timer_stop = user_timer_stop,
};

}  // namespace
}  // namespace standin

using namespace standin;

extern "C" {

void standin_market_enable(unsigned long long seed) {
    Market& m = market();
    {
        std::lock_guard lock(m.mu);
        m.seed = seed;
        default_session(m);
    }
    set_hooks(&kHooks);
}

void standin_market_disable(void) {
    if (hooks() == &kHooks) set_hooks(nullptr);
}

int standin_market_enabled(void) { return hooks() == &kHooks; }

int standin_market_set_tick_interval(int ms) {
    if (ms <= 0) return -1;
    std::lock_guard lock(market().mu);
    market().tick_setting = ms;
    return 0;
}

void standin_market_set_length(long long ms) {
    std::lock_guard lock(market().mu);
    market().length_setting = std::max(0LL, ms);
}

}  // extern "C"
