// The SDK's 187 functions as the recorder exports them: each one describes its arguments and
// out-parameters and goes through rec::through. Definitions sit in extern "C" so that any drift
// from the native forms in vqsdk.h is a compile error rather than a new overload.
#include "recorder.hpp"

using namespace rec;

namespace {
template <class T>
T real_as(Fn f) noexcept {
    return reinterpret_cast<T>(real(f));
}
}  // namespace

#define REAL(n) real_as<decltype(&::n)>(Fn::n)

extern "C" {

#define DEFINE_QUERY(n)                                                                              \
    int VQSDK_CALL n(const char* req, int req_len, char** res, int* res_len) {                     \
        return through<int>(Fn::n, {Bytes{req, req_len}, req_len, Out{res}, Out{res_len}},        \
                            {res, res_len}, [&] { return REAL(n)(req, req_len, res, res_len); }); \
    }
#define DEFINE_COMMAND(n)                                                     \
    int VQSDK_CALL n(const char* req, int req_len) {                          \
        return through<int>(Fn::n, {Bytes{req, req_len}, req_len}, {},        \
                            [&] { return REAL(n)(req, req_len); });           \
    }
#define DEFINE_SET_TEXT(n) \
    void VQSDK_CALL n(const char* text) { through<void>(Fn::n, {Text{text}}, {}, [&] { REAL(n)(text); }); }
#define DEFINE_INT_TEXT(n)                                                                    \
    int VQSDK_CALL n(const char* text) {                                                      \
        return through<int>(Fn::n, {Text{text}}, {}, [&] { return REAL(n)(text); });          \
    }
#define DEFINE_GET_TEXT(n) \
    const char* VQSDK_CALL n(void) { return through<const char*>(Fn::n, {}, {}, [&] { return REAL(n)(); }); }
#define DEFINE_INT_VOID(n) \
    int VQSDK_CALL n(void) { return through<int>(Fn::n, {}, {}, [&] { return REAL(n)(); }); }
#define DEFINE_VOID_INT(n) \
    void VQSDK_CALL n(int value) { through<void>(Fn::n, {value}, {}, [&] { REAL(n)(value); }); }
#define DEFINE_HAND_QUERY(n)
#define DEFINE_HAND_INT(n)
#define DEFINE_HAND_VOID(n)
#define DEFINE_HAND_TEXT(n)
#define DEFINE_HAND_ADDR(n)
#define DEFINE_HAND_VALUE(n)
#define REC_DEFINE(name, shape) DEFINE_##shape(name)
STANDIN_FUNCTIONS(REC_DEFINE)
#undef REC_DEFINE

// ---- Trading and accounts ----

int VQSDK_CALL vqi_get_account_info_pb(char** res, int* res_len) {
    return through<int>(Fn::vqi_get_account_info_pb, {Out{res}, Out{res_len}}, {res, res_len},
                        [&] { return REAL(vqi_get_account_info_pb)(res, res_len); });
}

int VQSDK_CALL vqi_algo_order_batch_pb(const char* req, int req_len, const char* algo_name,
                                       const char* algo_params, char** res, int* res_len) {
    return through<int>(
        Fn::vqi_algo_order_batch_pb,
        {Bytes{req, req_len}, req_len, Text{algo_name}, Text{algo_params}, Out{res}, Out{res_len}}, {res, res_len},
        [&] { return REAL(vqi_algo_order_batch_pb)(req, req_len, algo_name, algo_params, res, res_len); });
}

int VQSDK_CALL vqi_get_child_orders_pb(const char* account_id, const char* algo_id, char** res, int* res_len) {
    return through<int>(Fn::vqi_get_child_orders_pb, {Text{account_id}, Text{algo_id}, Out{res}, Out{res_len}},
                        {res, res_len},
                        [&] { return REAL(vqi_get_child_orders_pb)(account_id, algo_id, res, res_len); });
}

int VQSDK_CALL vqi_smart_reorder(const char* symbol, double price, int volume, int side, int order_type,
                                 int position_effect, int repeat_n, int max_price_offset, int time_out,
                                 int time_wait, const char* account) {
    return through<int>(Fn::vqi_smart_reorder,
                        {Text{symbol}, price, volume, side, order_type, position_effect, repeat_n,
                         max_price_offset, time_out, time_wait, Text{account}},
                        {}, [&] {
                            return REAL(vqi_smart_reorder)(symbol, price, volume, side, order_type,
                                                           position_effect, repeat_n, max_price_offset,
                                                           time_out, time_wait, account);
                        });
}

int VQSDK_CALL vqi_smart_reorder_cancel(int reorder_id) {
    return through<int>(Fn::vqi_smart_reorder_cancel, {reorder_id}, {},
                        [&] { return REAL(vqi_smart_reorder_cancel)(reorder_id); });
}

// ---- Market data ----

int VQSDK_CALL vqi_current_pb(const char* symbols, bool include_call_auction, const char* fields, char** res,
                              int* res_len) {
    return through<int>(Fn::vqi_current_pb,
                        {Text{symbols}, include_call_auction, Text{fields}, Out{res}, Out{res_len}}, {res, res_len},
                        [&] { return REAL(vqi_current_pb)(symbols, include_call_auction, fields, res, res_len); });
}

int VQSDK_CALL vqi_subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous) {
    return through<int>(Fn::vqi_subscribe, {Text{symbols}, Text{frequency}, unsubscribe_previous}, {},
                        [&] { return REAL(vqi_subscribe)(symbols, frequency, unsubscribe_previous); });
}

int VQSDK_CALL vqi_unsubscribe(const char* symbols, const char* frequency) {
    return through<int>(Fn::vqi_unsubscribe, {Text{symbols}, Text{frequency}}, {},
                        [&] { return REAL(vqi_unsubscribe)(symbols, frequency); });
}

// ---- Connection and configuration ----

void VQSDK_CALL vqi_set_version(const char* sdk_version, const char* sdk_lang, const void* reserved1,
                                const void* reserved2) {
    through<void>(Fn::vqi_set_version, {Text{sdk_version}, Text{sdk_lang}, Ptr{reserved1}, Ptr{reserved2}}, {},
                  [&] { REAL(vqi_set_version)(sdk_version, sdk_lang, reserved1, reserved2); });
}

void VQSDK_CALL vqi_set_serv_addr_v5(const char* addr, const char* orgcode, const char* site_id) {
    through<void>(Fn::vqi_set_serv_addr_v5, {Text{addr}, Text{orgcode}, Text{site_id}}, {},
                  [&] { REAL(vqi_set_serv_addr_v5)(addr, orgcode, site_id); });
}

int VQSDK_CALL vqi_get_serv_addr(const char* serv_id, char** addr) {
    return through<int>(Fn::vqi_get_serv_addr, {Text{serv_id}, Out{addr}}, {nullptr, nullptr, addr},
                        [&] { return REAL(vqi_get_serv_addr)(serv_id, addr); });
}

void VQSDK_CALL vqi_set_ctp_md_info(const char* front_addresses, const char* user_name, const char* password) {
    through<void>(Fn::vqi_set_ctp_md_info, {Text{front_addresses}, Text{user_name}, Text{password}}, {},
                  [&] { REAL(vqi_set_ctp_md_info)(front_addresses, user_name, password); });
}

void VQSDK_CALL vqi_set_mode_consistency(bool mode) {
    through<void>(Fn::vqi_set_mode_consistency, {mode}, {}, [&] { REAL(vqi_set_mode_consistency)(mode); });
}

void VQSDK_CALL vqi_set_simtrade_only(void) {
    through<void>(Fn::vqi_set_simtrade_only, {}, {}, [&] { REAL(vqi_set_simtrade_only)(); });
}

int VQSDK_CALL vqi_set_backtest_config(const char* start_time, const char* end_time, double initial_cash,
                                       double transaction_ratio, double commission_ratio, double commission_unit,
                                       double slippage_ratio, double option_float_margin_ratio1,
                                       double option_float_margin_ratio2, int adjust, int match_mode,
                                       int check_cache) {
    return through<int>(Fn::vqi_set_backtest_config,
                        {Text{start_time}, Text{end_time}, initial_cash, transaction_ratio, commission_ratio,
                         commission_unit, slippage_ratio, option_float_margin_ratio1, option_float_margin_ratio2,
                         adjust, match_mode, check_cache},
                        {}, [&] {
                            return REAL(vqi_set_backtest_config)(
                                start_time, end_time, initial_cash, transaction_ratio, commission_ratio,
                                commission_unit, slippage_ratio, option_float_margin_ratio1,
                                option_float_margin_ratio2, adjust, match_mode, check_cache);
                        });
}

void VQSDK_CALL vqi_set_bus_info(const char* server_addr, const char* user_name, const char* password) {
    through<void>(Fn::vqi_set_bus_info, {Text{server_addr}, Text{user_name}, Text{password}}, {},
                  [&] { REAL(vqi_set_bus_info)(server_addr, user_name, password); });
}

void VQSDK_CALL vqi_set_bus_secure(int in_mode, const char* tlsca, const char* tlscert, const char* tlskey,
                                   bool skip_verify) {
    through<void>(Fn::vqi_set_bus_secure, {in_mode, Text{tlsca}, Text{tlscert}, Text{tlskey}, skip_verify}, {},
                  [&] { REAL(vqi_set_bus_secure)(in_mode, tlsca, tlscert, tlskey, skip_verify); });
}

int VQSDK_CALL vqi_send_msg_to_bus(const char* topic, const char* msg) {
    return through<int>(Fn::vqi_send_msg_to_bus, {Text{topic}, Text{msg}}, {},
                        [&] { return REAL(vqi_send_msg_to_bus)(topic, msg); });
}

const char* VQSDK_CALL vqi_strerror(int errorno) {
    return through<const char*>(Fn::vqi_strerror, {errorno}, {}, [&] { return REAL(vqi_strerror)(errorno); });
}

const char* VQSDK_CALL vqi_get_c_version(void) {
    return through<const char*>(Fn::vqi_get_c_version, {}, {}, [&] { return REAL(vqi_get_c_version)(); });
}

// ---- Event loop and timers ----

// The vendor library gets the recorder's trampoline, which records each event and hands it to
// the module's callback; a replay delivers the recorded events to the module's callback itself.
int VQSDK_CALL vqi_set_event_callback_pb(vqi_event_callback callback) {
    set_callback(callback);
    return through<int>(Fn::vqi_set_event_callback_pb, {Ptr{reinterpret_cast<const void*>(callback)}}, {},
                        [&] { return REAL(vqi_set_event_callback_pb)(trampoline_for(callback)); });
}

int VQSDK_CALL vqi_run(void) {
    return through<int>(Fn::vqi_run, {}, {}, [&] { return REAL(vqi_run)(); });
}

int VQSDK_CALL vqi_poll(void) {
    return through<int>(Fn::vqi_poll, {}, {}, [&] { return REAL(vqi_poll)(); });
}

int VQSDK_CALL vqi_stop(void) {
    return through<int>(Fn::vqi_stop, {}, {}, [&] { return REAL(vqi_stop)(); });
}

void VQSDK_CALL vqi_set_timer(int interval) {
    through<void>(Fn::vqi_set_timer, {interval}, {}, [&] { REAL(vqi_set_timer)(interval); });
}

int VQSDK_CALL vqi_schedule(const char* date_rule, const char* time_rule) {
    return through<int>(Fn::vqi_schedule, {Text{date_rule}, Text{time_rule}}, {},
                        [&] { return REAL(vqi_schedule)(date_rule, time_rule); });
}

int VQSDK_CALL vqi_user_timer(int period, int start_delay) {
    return through<int>(Fn::vqi_user_timer, {period, start_delay}, {},
                        [&] { return REAL(vqi_user_timer)(period, start_delay); });
}

void VQSDK_CALL vqi_user_timer_stop(int timer_id) {
    through<void>(Fn::vqi_user_timer_stop, {timer_id}, {}, [&] { REAL(vqi_user_timer_stop)(timer_id); });
}

long long VQSDK_CALL vqi_now(void) {
    return through<long long>(Fn::vqi_now, {}, {}, [&] { return REAL(vqi_now)(); });
}

double VQSDK_CALL vqi_now_plus(void) {
    return through<double>(Fn::vqi_now_plus, {}, {}, [&] { return REAL(vqi_now_plus)(); });
}

}  // extern "C"
