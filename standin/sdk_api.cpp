// The SDK's exported functions. The regular shapes are defined from functions.h; the rest are
// written out below. Definitions sit in extern "C" so that any drift from the native forms in
// vqsdk.h is a compile error rather than a new overload.
#include <cstdio>
#include <string>

#include "standin.hpp"

using namespace standin;

namespace {

[[gnu::always_inline]] inline int query(Fn fn, const char* req, int req_len, char** res, int* res_len) {
    Call c(fn, {Bytes{req, req_len}, req_len, OutText{res}, OutLen{res_len}});
    if (const Hooks* h = hooks(); h && h->query) {
        std::string response;
        int status = c.status();
        if (h->query(fn, view(req, req_len), response, status))
            return reply(c, c.status(status), {response}, res, res_len);
    }
    return reply(c, c.status(), {name_of(fn), "|", view(req, req_len)}, res, res_len);
}

[[gnu::always_inline]] inline int command(Fn fn, const char* req, int req_len) {
    Call c(fn, {Bytes{req, req_len}, req_len});
    if (const Hooks* h = hooks(); h && h->command) {
        int status = c.status();
        if (h->command(fn, view(req, req_len), status)) return c.status(status);
    }
    return c.status();
}

}  // namespace

extern "C" {

// ---- Regular shapes ----

#define DEFINE_QUERY(n)                                                             \
    int VQSDK_CALL n(const char* req, int req_len, char** res, int* res_len) { \
        return query(Fn::n, req, req_len, res, res_len);                            \
    }
#define DEFINE_COMMAND(n) \
    int VQSDK_CALL n(const char* req, int req_len) { return command(Fn::n, req, req_len); }
#define DEFINE_SET_TEXT(n) \
    void VQSDK_CALL n(const char* text) { Call(Fn::n, {Text{text}}); }
#define DEFINE_INT_TEXT(n) \
    int VQSDK_CALL n(const char* text) { return Call(Fn::n, {Text{text}}).status(); }
#define DEFINE_GET_TEXT(n) \
    const char* VQSDK_CALL n(void) { return reply_text(Call(Fn::n), {#n}); }
#define DEFINE_INT_VOID(n) \
    int VQSDK_CALL n(void) { return Call(Fn::n).status(); }
#define DEFINE_VOID_INT(n) \
    void VQSDK_CALL n(int value) { Call(Fn::n, {value}); }
#define DEFINE_HAND_QUERY(n)
#define DEFINE_HAND_INT(n)
#define DEFINE_HAND_VOID(n)
#define DEFINE_HAND_TEXT(n)
#define DEFINE_HAND_ADDR(n)
#define DEFINE_HAND_VALUE(n)
#define STANDIN_DEFINE(name, shape) DEFINE_##shape(name)
STANDIN_FUNCTIONS(STANDIN_DEFINE)
#undef STANDIN_DEFINE

// ---- Trading and accounts ----

int VQSDK_CALL vqi_get_account_info_pb(char** res, int* res_len) {
    Call c(Fn::vqi_get_account_info_pb, {OutText{res}, OutLen{res_len}});
    return reply(c, c.status(), {"vqi_get_account_info_pb"}, res, res_len);
}

int VQSDK_CALL vqi_algo_order_batch_pb(const char* req, int req_len, const char* algo_name,
                                       const char* algo_params, char** res, int* res_len) {
    Call c(Fn::vqi_algo_order_batch_pb, {Bytes{req, req_len}, req_len, Text{algo_name},
                                         Text{algo_params}, OutText{res}, OutLen{res_len}});
    return reply(c, c.status(),
                 {"vqi_algo_order_batch_pb|", view(req, req_len), "|", view(algo_name), "|", view(algo_params)},
                 res, res_len);
}

int VQSDK_CALL vqi_get_child_orders_pb(const char* account_id, const char* algo_id, char** res,
                                       int* res_len) {
    Call c(Fn::vqi_get_child_orders_pb, {Text{account_id}, Text{algo_id}, OutText{res}, OutLen{res_len}});
    return reply(c, c.status(), {"vqi_get_child_orders_pb|", view(account_id), "|", view(algo_id)}, res,
                 res_len);
}

int VQSDK_CALL vqi_smart_reorder(const char* symbol, double price, int volume, int side, int order_type,
                                 int position_effect, int repeat_n, int max_price_offset, int time_out,
                                 int time_wait, const char* account) {
    return Call(Fn::vqi_smart_reorder, {Text{symbol}, price, volume, side, order_type, position_effect,
                                        repeat_n, max_price_offset, time_out, time_wait, Text{account}})
        .status();
}

int VQSDK_CALL vqi_smart_reorder_cancel(int reorder_id) {
    return Call(Fn::vqi_smart_reorder_cancel, {reorder_id}).status();
}

// ---- Market data ----

int VQSDK_CALL vqi_current_pb(const char* symbols, bool include_call_auction, const char* fields, char** res,
                              int* res_len) {
    Call c(Fn::vqi_current_pb, {Text{symbols}, include_call_auction, Text{fields}, OutText{res}, OutLen{res_len}});
    return reply(c, c.status(),
                 {"vqi_current_pb|", view(symbols), include_call_auction ? "|1|" : "|0|", view(fields)}, res,
                 res_len);
}

int VQSDK_CALL vqi_subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous) {
    Call c(Fn::vqi_subscribe, {Text{symbols}, Text{frequency}, unsubscribe_previous});
    if (const Hooks* h = hooks(); h && h->subscribe) return c.status(h->subscribe(symbols, frequency, unsubscribe_previous));
    return c.status();
}

int VQSDK_CALL vqi_unsubscribe(const char* symbols, const char* frequency) {
    Call c(Fn::vqi_unsubscribe, {Text{symbols}, Text{frequency}});
    if (const Hooks* h = hooks(); h && h->unsubscribe) return c.status(h->unsubscribe(symbols, frequency));
    return c.status();
}

// ---- Connection and configuration ----

void VQSDK_CALL vqi_set_version(const char* sdk_version, const char* sdk_lang, const void* reserved1,
                                const void* reserved2) {
    Call(Fn::vqi_set_version,
         {Text{sdk_version}, Text{sdk_lang}, Pointer{reserved1 != nullptr}, Pointer{reserved2 != nullptr}});
}

void VQSDK_CALL vqi_set_serv_addr_v5(const char* addr, const char* orgcode, const char* site_id) {
    Call(Fn::vqi_set_serv_addr_v5, {Text{addr}, Text{orgcode}, Text{site_id}});
}

int VQSDK_CALL vqi_get_serv_addr(const char* serv_id, char** addr) {
    Call c(Fn::vqi_get_serv_addr, {Text{serv_id}, OutText{addr}});
    if (addr) *addr = const_cast<char*>(reply_text(c, {"addr:", view(serv_id)}));
    return c.status();
}

void VQSDK_CALL vqi_set_ctp_md_info(const char* front_addresses, const char* user_name, const char* password) {
    Call(Fn::vqi_set_ctp_md_info, {Text{front_addresses}, Text{user_name}, Text{password}});
}

void VQSDK_CALL vqi_set_mode_consistency(bool mode) { Call(Fn::vqi_set_mode_consistency, {mode}); }

void VQSDK_CALL vqi_set_simtrade_only(void) { Call{Fn::vqi_set_simtrade_only}; }

int VQSDK_CALL vqi_set_backtest_config(const char* start_time, const char* end_time, double initial_cash,
                                       double transaction_ratio, double commission_ratio, double commission_unit,
                                       double slippage_ratio, double option_float_margin_ratio1,
                                       double option_float_margin_ratio2, int adjust, int match_mode,
                                       int check_cache) {
    Call c(Fn::vqi_set_backtest_config,
           {Text{start_time}, Text{end_time}, initial_cash, transaction_ratio, commission_ratio, commission_unit,
            slippage_ratio, option_float_margin_ratio1, option_float_margin_ratio2, adjust, match_mode, check_cache});
    if (const Hooks* h = hooks(); h && h->backtest_config)
        return c.status(h->backtest_config({start_time, end_time, initial_cash, transaction_ratio, commission_ratio,
                                            commission_unit, slippage_ratio, option_float_margin_ratio1,
                                            option_float_margin_ratio2, adjust, match_mode, check_cache}));
    return c.status();
}

void VQSDK_CALL vqi_set_bus_info(const char* server_addr, const char* user_name, const char* password) {
    Call(Fn::vqi_set_bus_info, {Text{server_addr}, Text{user_name}, Text{password}});
}

void VQSDK_CALL vqi_set_bus_secure(int in_mode, const char* tlsca, const char* tlscert, const char* tlskey,
                                   bool skip_verify) {
    Call(Fn::vqi_set_bus_secure, {in_mode, Text{tlsca}, Text{tlscert}, Text{tlskey}, skip_verify});
}

int VQSDK_CALL vqi_send_msg_to_bus(const char* topic, const char* msg) {
    return Call(Fn::vqi_send_msg_to_bus, {Text{topic}, Text{msg}}).status();
}

const char vqsdk_standin[] = STANDIN_IDENTITY;

const char* VQSDK_CALL vqi_get_c_version(void) {
    return reply_text(Call(Fn::vqi_get_c_version), {STANDIN_IDENTITY});
}

const char* VQSDK_CALL vqi_strerror(int errorno) {
    Call c(Fn::vqi_strerror, {errorno});
    char text[24];
    int n = std::snprintf(text, sizeof text, "error %d", errorno);
    return reply_text(c, {std::string_view(text, static_cast<std::size_t>(n))});
}

// ---- Event loop and timers ----

int VQSDK_CALL vqi_set_event_callback_pb(vqi_event_callback callback) {
    Call c(Fn::vqi_set_event_callback_pb, {Pointer{callback != nullptr}});
    register_callback(callback);
    return c.status();
}

// Delivers queued events in order until the queue is empty or vqi_stop is called (by a handler,
// typically); events left over stay queued for the next vqi_run or vqi_poll.
int VQSDK_CALL vqi_run(void) {
    Call c(Fn::vqi_run);
    request_stop(false);
    if (const Hooks* h = hooks(); h && h->run) return c.status(h->run());
    while (!stop_requested() && deliver_next()) {
    }
    return c.status();
}

// Delivers at most one queued event; returns how many it delivered unless scripted.
int VQSDK_CALL vqi_poll(void) {
    Call c(Fn::vqi_poll);
    if (const Hooks* h = hooks(); h && h->poll) return c.status(h->poll());
    return c.status(deliver_next() ? 1 : 0);
}

int VQSDK_CALL vqi_stop(void) {
    Call c(Fn::vqi_stop);
    request_stop(true);
    return c.status();
}

void VQSDK_CALL vqi_set_timer(int interval) {
    Call c(Fn::vqi_set_timer, {interval});
    if (const Hooks* h = hooks(); h && h->set_timer) h->set_timer(interval);
}

int VQSDK_CALL vqi_schedule(const char* date_rule, const char* time_rule) {
    Call c(Fn::vqi_schedule, {Text{date_rule}, Text{time_rule}});
    if (const Hooks* h = hooks(); h && h->schedule) return c.status(h->schedule(date_rule, time_rule));
    return c.status();
}

int VQSDK_CALL vqi_user_timer(int period, int start_delay) {
    Call c(Fn::vqi_user_timer, {period, start_delay});
    if (const Hooks* h = hooks(); h && h->user_timer) return c.status(h->user_timer(period, start_delay));
    return c.status(next_timer_id());
}

void VQSDK_CALL vqi_user_timer_stop(int timer_id) {
    Call c(Fn::vqi_user_timer_stop, {timer_id});
    if (const Hooks* h = hooks(); h && h->user_timer_stop) h->user_timer_stop(timer_id);
}

long long VQSDK_CALL vqi_now(void) {
    Call c(Fn::vqi_now);
    if (c.has(STANDIN_VALUE)) return c.script().int_value;
    if (const Hooks* h = hooks(); h && h->now) return h->now();
    return 1'700'000'000'000LL;
}

double VQSDK_CALL vqi_now_plus(void) {
    Call c(Fn::vqi_now_plus);
    if (c.has(STANDIN_VALUE)) return c.script().real_value;
    if (const Hooks* h = hooks(); h && h->now_plus) return h->now_plus();
    return 1'700'000'000.25;
}

}  // extern "C"
