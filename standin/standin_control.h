/*
 * Control interface of the vqsdk stand-in: the test double that the project builds as
 * libvqsdk.so when the real SDK library is not used. Tests drive it through
 * standin/python/vqsdk_standin/__init__.py, which loads these functions with ctypes.
 *
 * Every SDK call is recorded in a call log (while recording is on) and answered from a script
 * set for the function's name, or else from the defaults:
 *  - int results: the default status (0 until changed);
 *  - query functions (char **res, int *res_len): the default status and the response
 *    "<function name>|<request bytes>" (functions taking texts echo them, '|'-separated);
 *  - text getters: the function's name; vqi_get_c_version: STANDIN_IDENTITY (below);
 *    vqi_strerror(n): "error <n>";
 *    vqi_get_serv_addr: "addr:<serv_id>";
 *  - vqi_user_timer: timer ids counting up from 1; vqi_poll: the number of events delivered;
 *  - vqi_now: 1700000000000; vqi_now_plus: 1700000000.25.
 * vqi_run delivers the queued events in order until the queue is empty or vqi_stop was called
 * (by a handler, typically; the rest stays queued); vqi_poll delivers at most one; with
 * standin_set_deliver_on_call, any SDK function delivers them all first. Events taken while no
 * callback is registered are dropped. The callback only ever runs on a thread that is inside an
 * SDK function or standin_emit_event, or on a thread of standin_thread_events_start.
 *
 * Response buffers and returned texts live in storage of the calling thread until that thread
 * calls the library again. While recording is on, each one is a fresh allocation of exactly
 * the size announced and the previous one is freed at the start of the next call, so that an
 * address sanitizer catches a caller reading past the end or keeping a pointer too long.
 *
 * The control functions below may be called from any thread. None of them is recorded.
 */
#ifndef VQSDK_STANDIN_CONTROL_H
#define VQSDK_STANDIN_CONTROL_H

#include <stddef.h>

#if defined(_WIN32)
#  define STANDIN_API __declspec(dllexport)
#else
#  define STANDIN_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- What this library is ---- */

/* The stand-in's identity, also its default vqi_get_c_version text. A program tells this library
 * from a vendor's SDK by looking the symbol up (dlsym), without calling any SDK function. */
#define STANDIN_IDENTITY "vqsdk stand-in: the project's test double, not the vendor's SDK"
STANDIN_API extern const char vqsdk_standin[];

/* ---- State ---- */

/* What standin_reset clears besides the call log, the scripts, the event queue, the stop flag,
 * the timer id counter, the waits and holds, and the most threads seen inside SDK code
 * (standin_inside_max). */
#define STANDIN_RESET_CALLBACK 1 /* also forget the registered event callback */
#define STANDIN_RESET_CONFIG 2   /* also set recording on, the default status to 0 and
                                    delivery on every call off */

STANDIN_API void standin_reset(int flags);
STANDIN_API void standin_set_recording(int on);
STANDIN_API int standin_recording(void);
STANDIN_API void standin_set_default_status(int status);
STANDIN_API int standin_default_status(void);

/* The SDK functions the stand-in exports, in header order: index <-> name (-1 / NULL when
 * unknown or out of range). The call log names functions by this index. */
STANDIN_API int standin_function_count(void);
STANDIN_API const char *standin_function_name(int index);
STANDIN_API int standin_function_index(const char *name);

/* ---- Scripts ---- */

/* Fields of a script (standin_script.fields). */
#define STANDIN_STATUS 0x01       /* return `status` (int-returning functions) */
#define STANDIN_RESPONSE 0x02     /* answer `response_len` bytes at `response`; a null `response`
                                     sets *res to NULL (query functions) */
#define STANDIN_RES_LEN 0x04      /* write `res_len` to *res_len instead of the response's size; a
                                     larger value pads the buffer with zero bytes (query functions) */
#define STANDIN_SKIP_RES_LEN 0x08 /* leave *res_len untouched (query functions) */
#define STANDIN_TEXT 0x10         /* return `text`, NULL for a null pointer (text getters, and
                                     the *addr of vqi_get_serv_addr) */
#define STANDIN_VALUE 0x20        /* vqi_now returns `int_value`, vqi_now_plus `real_value` */
#define STANDIN_DELAY 0x40        /* the call takes `delay_ns` more before it answers (any function):
                                     a known time for what measures the calls */

typedef struct standin_script {
    unsigned fields;
    int status;
    const char *response;
    int response_len;
    int res_len;
    const char *text;
    long long int_value;
    double real_value;
    long long delay_ns;
} standin_script;

/* Scripts a function by name. A sticky script (once == 0) replaces the function's previous
 * sticky script and holds until cleared or reset. One-shot scripts (once != 0) queue up and
 * each answers exactly one call, ahead of the sticky script. Fields left out of a script take
 * their defaults. The data is copied.
 * Returns 0, -1 for an unknown name, -2 for a field the function has no use for. */
STANDIN_API int standin_script_set(const char *name, const standin_script *script, int once);
/* Drops the scripts of one function (NULL: of all). Returns 0, or -1 for an unknown name. */
STANDIN_API int standin_script_clear(const char *name);

/* ---- Call log ---- */

/* The log is a sequence of records, in call order, in native byte order:
 *   u16 function index, u8 argument count, then one tagged value per native parameter:
 *   'n'                null pointer (request buffer, text, reserved pointer or callback)
 *   'b' u32 n, n bytes  the bytes of a request buffer (exactly its length) or of a text
 *   'x'                request buffer not read: its length was negative
 *   'i' i64            int
 *   'f' f64            double
 *   '?' u8             bool
 *   'p'                non-null reserved pointer or callback
 *   'o' u8 flags       out-parameter: bit 0 the pointer is null; bit 1 (char ** only) the
 *                      pointed-to char * was not null on entry
 * standin_log_read copies min(capacity, size) bytes to dst (which may be NULL when capacity is
 * 0) and returns the full size. */
STANDIN_API size_t standin_log_read(void *dst, size_t capacity);
STANDIN_API size_t standin_log_count(void);
STANDIN_API void standin_log_clear(void);

/* ---- Events ---- */

/* One event: topic (NULL for a null topic) and the callback's `len`. The payload pointer is NULL
 * when data is NULL; otherwise it points to a copy of data_size bytes, padded with zero bytes
 * to `len` when `len` is larger. */
STANDIN_API void standin_queue_event(const char *topic, const char *data, size_t data_size, int len);
/* Delivers the event at once to the registered callback on the calling thread. Returns 0, or -1
 * when no callback is registered. */
STANDIN_API int standin_emit_event(const char *topic, const char *data, size_t data_size, int len);
STANDIN_API int standin_pending_events(void);
/* While on (off by default), every SDK function starts by delivering the queued events, in order,
 * to the registered callback on the calling thread, before it reads its arguments: as an SDK
 * may deliver events inside any of its functions. SDK calls made by the handlers deliver nothing
 * more. */
STANDIN_API void standin_set_deliver_on_call(int on);
STANDIN_API int standin_deliver_on_call(void);
STANDIN_API int standin_callback_registered(void);
/* Registers `callback` (NULL: none) without a recorded call and returns the previous one, so
 * that a test can put back the callback the module under test registered. */
typedef void (*standin_event_callback)(const char *topic, const char *data, int len); /* = vqi_event_callback */
STANDIN_API standin_event_callback standin_swap_callback(standin_event_callback callback);
/* Whether vqi_stop was called since vqi_run last started (or the last reset). */
STANDIN_API int standin_stop_requested(void);
/* Starts `threads` native threads of the library's own; each hands `events` copies of the event
 * (topic, data_size bytes of data, len = data_size) to the registered callback, on that thread,
 * without any interpreter lock. Returns 0, or -1 for a bad argument. standin_thread_events_join
 * waits for every thread started so far and returns the number of events delivered (to a
 * callback) since the last join; call it without holding the interpreter lock (ctypes.CDLL), or
 * a callback that needs the lock waits forever. */
STANDIN_API int standin_thread_events_start(int threads, int events, const char *topic, const char *data,
                                            size_t data_size);
STANDIN_API int standin_thread_events_join(void);

/* ---- Waiting, as a server would ---- */

/* Every call of the function `name` (NULL: of every SDK function) first waits `microseconds`
 * (0: not at all), as the calls of an SDK that waits for its server; vqi_run waits before its
 * first event. A function's own wait takes the place of the wait of every function. Returns 0, or
 * -1 for an unknown name or a negative time. */
STANDIN_API int standin_set_wait(const char *name, int microseconds);
/* While held (on != 0), the calls of `name` (NULL: of every SDK function) wait at their start,
 * sleeping, until released (on == 0) or standin_reset. Returns 0, or -1 for an unknown name.
 * standin_held: how many threads wait there now. */
STANDIN_API int standin_hold(const char *name, int on);
STANDIN_API int standin_held(void);

/* ---- Threads inside SDK code ---- */

/* How many threads run SDK code at once. A thread is inside from its outermost entry into an
 * exported SDK function (not a standin_* control) to its exit, but not while the library has
 * handed an event to the registered callback: the callback's code is the caller's, and SDK calls
 * its handler makes are entries of their own (a thread's nesting never counts twice). The
 * library's own threads (standin_thread_events_start) run no SDK call: only the SDK calls their
 * handlers make count. Calls are counted while recording is on (the default; benchmarks switch
 * it off, and the count costs them nothing more than a test). standin_inside_max: the most
 * threads seen inside at once since the last
 * standin_inside_reset (or standin_reset), which sets it to the number inside now;
 * standin_inside_now: the number inside now. */
STANDIN_API int standin_inside_max(void);
STANDIN_API int standin_inside_now(void);
STANDIN_API void standin_inside_reset(void);

/* ---- Market ---- */

/* A small deterministic market (market.cpp) for the demo and for trying a strategy without the
 * vendor's library. Off by default; while it is on, it answers the functions of a strategy
 * session (configuration, subscriptions, the run loop, timers, orders and account queries) and
 * every other function stays with the test double. Scripts still apply on top of its answers.
 * Requests, responses and event payloads are JSON; market.cpp describes them.
 *
 * standin_market_enable switches it on (or starts it over): seed picks the prices, and a fresh
 * session begins with the default settings (2026-01-05 09:30:00 to 15:00:00, cash 1,000,000, no
 * commission or slippage) and no subscriptions, timers or orders. The tick interval and the
 * session length cap hold until changed; they apply from the next session (enable or
 * vqi_set_backtest_config). */
STANDIN_API void standin_market_enable(unsigned long long seed);
STANDIN_API void standin_market_disable(void);
STANDIN_API int standin_market_enabled(void);
/* Market time between two ticks of a symbol, in ms (default 3000). Returns 0, or -1 if ms <= 0. */
STANDIN_API int standin_market_set_tick_interval(int ms);
/* Ends every session at most `ms` after its start (0, the default: at its configured end). */
STANDIN_API void standin_market_set_length(long long ms);

#ifdef __cplusplus
}
#endif

#endif /* VQSDK_STANDIN_CONTROL_H */
