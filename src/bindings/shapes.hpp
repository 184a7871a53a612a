// Binding shapes. A binding is one SDK function plus the kinds of its arguments and its result;
// `call<Fn, Result, Kinds...>` turns that description into a builtin's C entry point at compile
// time: the SDK function is a template argument, so every binding compiles to a direct call with
// no indirection and no table walk.
//
// Every shape runs the same steps: bind the Python arguments (one-argument, no-argument or
// positional-or-keyword convention, from the number of Python parameters), convert them in the
// kinds' order (the first failure raises and the SDK is not called), let the result kind prepare
// (the query results look CSDK_OPERATE_SUCCESS up here, before the SDK call, so that a missing
// constant never lets an order through and then raises), call the SDK function once, and build
// the Python result. Any failure adds the traceback entry "c_sdk.<binding name>".
#pragma once
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

#include "bindings/kinds.hpp"
#include "module/errors.hpp"
#include "module/globals.hpp"
#include "module/methods.hpp"
#include "module/ref.hpp"
#include "module/sdk_section.hpp"

namespace csdk::shapes {

// What a row hands to the exec step to build its builtin.
struct shape {
    PyCFunction impl;              // METH_O / METH_NOARGS entry, or null
    PyCFunctionWithKeywords impl_kw;  // METH_VARARGS | METH_KEYWORDS entry, or null
    int flags;
    site* where;              // receives the binding's name at registration
    const char* signature;    // text signature, e.g. "(req, /)"
    int (*init)();            // interns the keyword names
    adapted_entry adapted = nullptr;  // the entry adapt_to_python3 calls directly, or null
    _PyCFunctionFast impl_fast = nullptr;  // METH_FASTCALL entry, or null

    // The entry as PyMethodDef.ml_meth holds it.
    PyCFunction method() const noexcept {
        if (impl) return impl;
        if (impl_fast) return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(impl_fast));
        return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(impl_kw));
    }
};

// ---- the success test -------------------------------------------------------------------------

// The SDK calls this module has made. The SDK owns a response buffer only until it is called
// again, so a success test that runs Python code (a success constant of any type but an exact
// int) checks that no SDK call slipped in before the response is copied. Free-threaded, the
// response is copied before the SDK lock is let go (kept_bytes), and the count is the thread's
// own: the check then tells the same as on the GIL builds.
#if CSDK_SDK_LOCK
inline constinit CSDK_THREAD_LOCAL unsigned long sdk_calls = 0;
#else
inline unsigned long sdk_calls = 0;
#endif

#if CSDK_SDK_LOCK
// Free-threaded: a copy of bytes the SDK handed back, made while the SDK lock is held, since the
// SDK owns them only until it is called again, by any thread, and the lock is let go before the
// Python objects are made. Short texts and responses stay in place; longer ones go to the heap.
class kept_bytes {
public:
    kept_bytes() noexcept {}
    kept_bytes(const kept_bytes&) = delete;
    kept_bytes& operator=(const kept_bytes&) = delete;
    ~kept_bytes() {
        if (CSDK_UNLIKELY(heap_ != nullptr)) std::free(heap_);
    }

    // A copy of `n` bytes at `p`, or null when memory ran out.
    const char* keep(const char* p, std::size_t n) noexcept {
        char* to = small_;
        if (CSDK_UNLIKELY(n > sizeof small_)) {
            to = heap_ = static_cast<char*>(std::malloc(n));
            if (!to) return nullptr;
        }
        std::memcpy(to, p, n);
        return to;
    }
    // A copy of the NUL-terminated text at `s` (its length in `length`), or null when memory ran out.
    const char* keep_text(const char* s, std::size_t& length) noexcept {
        length = std::strlen(s);
        return keep(s, length + 1);
    }

private:
    char* heap_ = nullptr;
    char small_[512];
};

// A text the SDK returned that could not be copied (memory ran out); never dereferenced.
inline constexpr char lost_text[1] = {0};
#endif

// CSDK_OPERATE_SUCCESS as looked up before an SDK call, compared with its status afterwards by
// Python equality. An exact int is kept as a number (no reference held, no object compared);
// any other object is held for the duration of the call, so a handler that rebinds the name
// while the SDK runs cannot free it under us. Such an object is refused, before the SDK call,
// once the interpreter is shutting down: module teardown sets the name to None, and a finalizer
// that places an order would otherwise see the order go out and be told it failed. And a
// comparison that called the SDK again (an __eq__ calling a binding) has lost the response: a
// success then raises instead of reading it.
class success_test {
public:
    success_test() noexcept = default;
    success_test(const success_test&) = delete;
    success_test& operator=(const success_test&) = delete;
    ~success_test() { Py_XDECREF(held_); }

#if CSDK_GLOBAL_CACHE
    bool acquire() noexcept {
        PyObject* v = globals::success.get();
        if (CSDK_UNLIKELY(!v)) return false;
        if (CSDK_LIKELY(globals::success.exact())) {
            number_ = globals::success.number();
            return true;
        }
        return acquire_object(Py_NewRef(v));
    }
#else
    bool acquire() noexcept {
        PyObject* v = globals::success.lookup();
        if (CSDK_UNLIKELY(!v)) return false;
        if (CSDK_LIKELY(PyLong_CheckExact(v))) {
            int overflow = 0;
            long n = PyLong_AsLongAndOverflow(v, &overflow);
            if (CSDK_LIKELY(!overflow && !(n == -1 && PyErr_Occurred()))) {
                Py_DECREF(v);
                number_ = n;
                return true;
            }
            PyErr_Clear();
        }
        return acquire_object(v);
    }
#endif

    // Whether `status` may be a success: a number tells at once; an object is compared later.
    bool may_succeed(int status) const noexcept { return held_ || status == number_; }

    // The truth of `status <op> CSDK_OPERATE_SUCCESS` (op is Py_EQ or Py_NE); -1 with an exception.
    int compare(int status, PyObject* status_obj, int op) noexcept {
        if (CSDK_LIKELY(!held_)) return (status == number_) == (op == Py_EQ);
        return compare_object(status_obj, op);
    }

private:
    CSDK_COLD bool acquire_object(PyObject* owned) noexcept;
    CSDK_COLD int compare_object(PyObject* status_obj, int op) noexcept;
    PyObject* held_ = nullptr;
    long number_ = 0;
};

// A new bytes object with a response the SDK reported as successful. The SDK owns `res`; its
// bytes are copied once. A null pointer with a non-zero length, or a negative length, breaks the
// SDK's contract: nothing is read and the result is None, as for a failed query.
inline PyObject* response_bytes(const char* res, int res_len) noexcept {
    if (CSDK_LIKELY(res_len > 0 && res != nullptr)) return PyBytes_FromStringAndSize(res, res_len);
    if (res_len == 0) return PyBytes_FromStringAndSize(nullptr, 0);
    Py_RETURN_NONE;
}

// ---- result kinds -----------------------------------------------------------------------------

// The SDK's int, as is.
struct status_result {
    bool prepare() noexcept { return true; }
    std::tuple<> outs() noexcept { return {}; }
    PyObject* finish(int r) noexcept { return PyLong_FromLong(r); }
};

// None; whatever the SDK returns is not used.
struct none_result {
    bool prepare() noexcept { return true; }
    std::tuple<> outs() noexcept { return {}; }
    template <class T>
    PyObject* finish(T) noexcept { Py_RETURN_NONE; }
    PyObject* finish() noexcept { Py_RETURN_NONE; }
};

// bytes copied from the NUL-terminated string the SDK returns. The SDK owns the string. A null
// pointer (a broken contract: there is no text) gives b''.
struct text_result {
    bool prepare() noexcept { return true; }
    std::tuple<> outs() noexcept { return {}; }
#if CSDK_SDK_LOCK
    kept_bytes kept;
    std::size_t length = 0;
    const char* capture(const char* s) noexcept {
        if (!s) return nullptr;
        const char* copy = kept.keep_text(s, length);
        return copy ? copy : lost_text;
    }
    PyObject* finish(const char* s) noexcept {
        if (CSDK_UNLIKELY(s == lost_text)) return PyErr_NoMemory();
        return PyBytes_FromStringAndSize(s, s ? static_cast<Py_ssize_t>(length) : 0);
    }
#else
    PyObject* finish(const char* s) noexcept {
        return s ? PyBytes_FromString(s) : PyBytes_FromStringAndSize(nullptr, 0);
    }
#endif
};

// A 64-bit int, as is.
struct long_long_result {
    bool prepare() noexcept { return true; }
    std::tuple<> outs() noexcept { return {}; }
    PyObject* finish(long long r) noexcept { return PyLong_FromLongLong(r); }
};

// A float from the SDK's double.
struct real_result {
    bool prepare() noexcept { return true; }
    std::tuple<> outs() noexcept { return {}; }
    PyObject* finish(double r) noexcept { return PyFloat_FromDouble(r); }
};

// (status, bytes) when the status equals CSDK_OPERATE_SUCCESS, else (status, None). The SDK sets
// the response pointer and length; `res_len` starts at 0, so a success that leaves it unset
// reads as an empty response.
struct query_result {
    char* res = nullptr;
    int res_len = 0;
    success_test success;

    bool prepare() noexcept { return success.acquire(); }
    std::tuple<char**, int*> outs() noexcept { return {&res, &res_len}; }
#if CSDK_SDK_LOCK
    kept_bytes kept;
    bool lost = false;
    // The response, when it may be read, copied while the SDK still owns it.
    int capture(int status) noexcept {
        if (success.may_succeed(status) && res_len > 0 && res != nullptr) {
            const char* copy = kept.keep(res, static_cast<std::size_t>(res_len));
            lost = !copy;
            res = const_cast<char*>(copy);
        }
        return status;
    }
#endif
    [[gnu::always_inline]] PyObject* finish(int status) noexcept {
        ref st = ref::steal(PyLong_FromLong(status));
        if (CSDK_UNLIKELY(!st)) return nullptr;
        int ok = success.compare(status, st.get(), Py_EQ);
        if (CSDK_UNLIKELY(ok < 0)) return nullptr;
        PyObject* second;
        if (ok) {
#if CSDK_SDK_LOCK
            if (CSDK_UNLIKELY(lost)) return PyErr_NoMemory();
#endif
            second = response_bytes(res, res_len);
            if (CSDK_UNLIKELY(!second)) return nullptr;
        } else {
            second = Py_NewRef(Py_None);
        }
        PyObject* tuple = PyTuple_New(2);
        if (CSDK_UNLIKELY(!tuple)) {
            Py_DECREF(second);
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple, 0, st.release());
        PyTuple_SET_ITEM(tuple, 1, second);
        return tuple;
    }
};

// The server address lookup: bytes copied from the address the SDK returns through its out
// pointer, or None when `status != CSDK_OPERATE_SUCCESS`. A success with a null address has no
// address to give, so it is None too.
struct address_result {
    char* addr = nullptr;
    success_test success;

    bool prepare() noexcept { return success.acquire(); }
    std::tuple<char**> outs() noexcept { return {&addr}; }
#if CSDK_SDK_LOCK
    kept_bytes kept;
    int capture(int status) noexcept {
        if (success.may_succeed(status) && addr) {
            std::size_t length;
            const char* copy = kept.keep_text(addr, length);
            addr = const_cast<char*>(copy ? copy : lost_text);
        }
        return status;
    }
#endif
    [[gnu::always_inline]] PyObject* finish(int status) noexcept {
        ref st = ref::steal(PyLong_FromLong(status));
        if (CSDK_UNLIKELY(!st)) return nullptr;
        int failed = success.compare(status, st.get(), Py_NE);
        if (CSDK_UNLIKELY(failed < 0)) return nullptr;
        if (failed || !addr) Py_RETURN_NONE;
#if CSDK_SDK_LOCK
        if (CSDK_UNLIKELY(addr == lost_text)) return PyErr_NoMemory();
#endif
        return PyBytes_FromString(addr);
    }
};

// ---- compile-time text signature ---------------------------------------------------------------

template <std::size_t N>
struct signature_text {
    char text[N + 1]{};
};

// The Python parameter index of each kind, in kind (native) order; -1 for kinds without one.
template <class... Kinds>
constexpr std::array<int, sizeof...(Kinds) + 1> parameter_positions() {
    std::array<int, sizeof...(Kinds) + 1> pos{};
    std::array<int, sizeof...(Kinds) + 1> params{Kinds::params..., 0};
    std::array<int, sizeof...(Kinds) + 1> wanted{Kinds::position..., 0};
    int next = 0;
    for (std::size_t i = 0; i < sizeof...(Kinds); ++i)
        pos[i] = params[i] ? (wanted[i] >= 0 ? wanted[i] : next++) : -1;
    return pos;
}

// "(a, b)" from the kinds' names in Python order; "(a, /)" for a one-argument builtin.
template <class... Kinds>
constexpr auto make_signature() {
    constexpr int count = (Kinds::params + ... + 0);
    constexpr auto order = parameter_positions<Kinds...>();
    constexpr std::size_t length = 2 + ((Kinds::params ? Kinds::name.size + 2 : 0) + ... + 0) + (count == 1 ? 3 : 0);
    signature_text<length> out{};
    std::size_t at = 0;
    out.text[at++] = '(';
    const char* names[sizeof...(Kinds) + 1] = {Kinds::name.text..., ""};
    std::size_t sizes[sizeof...(Kinds) + 1] = {Kinds::name.size..., 0};
    for (int p = 0; p < count; ++p) {
        for (std::size_t i = 0; i < sizeof...(Kinds); ++i) {
            if (order[i] != p) continue;
            if (p) { out.text[at++] = ','; out.text[at++] = ' '; }
            for (std::size_t c = 0; c < sizes[i]; ++c) out.text[at++] = names[i][c];
        }
    }
    if (count == 1) { out.text[at++] = ','; out.text[at++] = ' '; out.text[at++] = '/'; }
    out.text[at++] = ')';
    out.text[at] = '\0';
    return out;
}

// ---- the shape template -------------------------------------------------------------------------

// The Python arguments of one call in parameter order, and which of them the call holds itself:
// the keyword values (the keyword dict, which a conversion's Python code can reach and clear, may
// be their only owner) and the bytes made from str arguments. Positional arguments are owned by
// the caller's tuple or vector.
template <int N>
struct arguments {
    static_assert(N < 32);
    PyObject* items[N > 0 ? N : 1];
    std::uint32_t held = 0;

    arguments() noexcept {}
    arguments(const arguments&) = delete;
    arguments& operator=(const arguments&) = delete;
    ~arguments() {
        for (std::uint32_t h = held; h; h &= h - 1) Py_DECREF(items[__builtin_ctz(h)]);
    }
    static constexpr std::uint32_t from(Py_ssize_t first) noexcept {
        return first >= N ? 0u : ((1u << (N - first)) - 1u) << first;
    }
    // items[first..N) became strong references.
    void taken_from(Py_ssize_t first) noexcept { held |= from(first); }
    void hold_from(Py_ssize_t first) noexcept {
        for (Py_ssize_t i = first; i < N; ++i) Py_INCREF(items[i]);
        held |= from(first);
    }
    // Puts a new reference in place of items[i].
    void replace(int i, PyObject* owned) noexcept {
        if (held >> i & 1u) Py_DECREF(items[i]);
        items[i] = owned;
        held |= 1u << i;
    }
};

#if CSDK_SDK_LOCK
// What the SDK returned, with whatever it still owns copied (the result kind's capture), or as is.
template <class Result, class R>
inline auto captured(Result& result, R r) noexcept {
    if constexpr (requires { result.capture(r); }) return result.capture(r);
    else return r;
}
#endif

template <auto Fn, class Result, class... Kinds>
struct binding {
    static constexpr int nparams = (Kinds::params + ... + 0);
    // No parameter: METH_FASTCALL, which the interpreter calls inline (a METH_NOARGS builtin goes
    // through the generic call path, about 120 instructions more in 3.11); the argument-count
    // error is the one the interpreter gives for METH_NOARGS, raised here. One parameter: METH_O,
    // which the interpreter also calls inline.
    static constexpr int flags = nparams == 0 ? METH_FASTCALL : nparams == 1 ? METH_O : (METH_VARARGS | METH_KEYWORDS);
    static constexpr auto signature = make_signature<Kinds...>();

    static constexpr auto positions = parameter_positions<Kinds...>();

    static inline site where{};
    static inline PyObject* names[nparams > 0 ? nparams : 1]{};

    static int init() {
        if constexpr (nparams > 1) {
            const char* texts[] = {Kinds::name.text...};
            for (std::size_t i = 0; i < sizeof...(Kinds); ++i) {
                if (positions[i] < 0 || names[positions[i]]) continue;
                names[positions[i]] = PyUnicode_InternFromString(texts[i]);
                if (!names[positions[i]]) return -1;
            }
        }
        return 0;
    }

    template <std::size_t... I>
    static bool convert([[maybe_unused]] PyObject* const* py, std::tuple<typename Kinds::value...>& values, std::index_sequence<I...>) noexcept {
        return (Kinds::convert(positions[I] >= 0 ? py[positions[I]] : nullptr, std::get<I>(values)) && ...);
    }

    template <std::size_t... I>
    static auto natives(std::tuple<typename Kinds::value...>& values, Result& result, std::index_sequence<I...>) noexcept {
        return std::tuple_cat(Kinds::natives(std::get<I>(values))..., result.outs());
    }

    template <std::size_t... I>
    [[gnu::always_inline]] static bool convert_fast([[maybe_unused]] PyObject* const* py,
                                                    std::tuple<typename Kinds::fast_value...>& values,
                                                    std::index_sequence<I...>) noexcept {
        return (Kinds::fast(positions[I] >= 0 ? py[positions[I]] : nullptr, std::get<I>(values)) && ...);
    }

    template <std::size_t... I>
    static auto fast_natives(std::tuple<typename Kinds::fast_value...>& values, Result& result,
                             std::index_sequence<I...>) noexcept {
        return std::tuple_cat(Kinds::fast_natives(std::get<I>(values))..., result.outs());
    }

    // The SDK call and its result, from the native arguments.
    template <class Args>
    [[gnu::always_inline]] static PyObject* invoke(Result& result, Args args) noexcept {
        PyObject* out;
        {
            sdk::section in_sdk;
            if (CSDK_UNLIKELY(!in_sdk.entered())) return fail(where);
            ++sdk_calls;
            if constexpr (std::is_void_v<decltype(std::apply(Fn, args))>) {
                std::apply(Fn, args);
                in_sdk.leave();
                out = result.finish();
            } else {
#if CSDK_SDK_LOCK
                auto r = captured(result, std::apply(Fn, args));
#else
                auto r = std::apply(Fn, args);
#endif
                in_sdk.leave();
                out = result.finish(r);
            }
        }
        if (CSDK_UNLIKELY(!out)) return fail(where);
        return out;
    }

    // Any argument that needs holding or may run Python code: every one converted the general way.
    [[gnu::noinline]] static PyObject* run_general(PyObject* const* py) noexcept {
        std::tuple<typename Kinds::value...> values{};
        if (!convert(py, values, std::index_sequence_for<Kinds...>{})) return fail(where);
        Result result;
        if (!result.prepare()) return fail(where);
        return invoke(result, natives(values, result, std::index_sequence_for<Kinds...>{}));
    }

    // py: the Python arguments in parameter order (borrowed).
    [[gnu::always_inline]] static PyObject* run(PyObject* const* py) noexcept {
        std::tuple<typename Kinds::fast_value...> values;
        if (CSDK_UNLIKELY(!convert_fast(py, values, std::index_sequence_for<Kinds...>{}))) return run_general(py);
        Result result;
        if (!result.prepare()) return fail(where);
        return invoke(result, fast_natives(values, result, std::index_sequence_for<Kinds...>{}));
    }

    static PyObject* entry_none(PyObject*, PyObject* const*, Py_ssize_t nargs) noexcept {
        if (CSDK_UNLIKELY(nargs != 0)) return raise_no_arguments(where, nargs);
        return run(nullptr);
    }
    static PyObject* entry_o(PyObject*, PyObject* arg) noexcept { return run(&arg); }
    static PyObject* entry_kw(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
        arguments<nparams> py;
        Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        if (!bind_parameters(where, &PyTuple_GET_ITEM(args, 0), nargs, kwargs, names, nparams, py.items))
            return fail(where);
        py.taken_from(nargs);
        return run(py.items);
    }

    // Through adapt_to_python3 with IS_PY2 False (see adapted_entry): the plain call, every
    // parameter given once, keywords by their interned names, texts as exact str. Anything else
    // (a str subclass, whose encode() may be its own; a text that is not ASCII; an argument error)
    // is left to the wrapper's general path, which then raises exactly what it always does:
    // nothing done here before giving up is visible.
    static bool entry_adapted(PyObject* const* args, Py_ssize_t nargs, PyObject* kwargs, PyObject** result) noexcept {
        constexpr int n = nparams;
        Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
        if (nargs + nkw != n) return false;
        arguments<n> py;
        if constexpr (n > 1) {
            for (Py_ssize_t i = 0; i < nargs; ++i) py.items[i] = args[i];
            if (nkw) {
                if (!bind_keywords_by_identity(kwargs, nargs, names, n, py.items)) return false;
                py.hold_from(nargs);  // no Python code ran since the dict handed them out
            }
        } else {
            if (nkw) return false;
            if constexpr (n == 1) py.items[0] = args[0];
        }
        for (int i = 0; i < n; ++i) {
            if (!PyUnicode_Check(py.items[i])) continue;
            PyObject* e = PyUnicode_CheckExact(py.items[i]) ? PyUnicode_AsASCIIString(py.items[i]) : nullptr;
            if (CSDK_UNLIKELY(!e)) {
                PyErr_Clear();
                return false;  // what it holds is also held by the caller: nothing is freed
            }
            py.replace(i, e);
        }
        *result = run(py.items);
        return true;
    }

    static constexpr PyCFunction entry() noexcept {
        if constexpr (nparams == 1) return &entry_o;
        else return nullptr;
    }
    static constexpr _PyCFunctionFast entry_fast() noexcept {
        if constexpr (nparams == 0) return &entry_none;
        else return nullptr;
    }
    static constexpr PyCFunctionWithKeywords entry_keywords() noexcept {
        if constexpr (nparams > 1) return &entry_kw;
        else return nullptr;
    }
};

template <auto Fn, class Result, class... Kinds>
inline constexpr shape call = {
    binding<Fn, Result, Kinds...>::entry(),
    binding<Fn, Result, Kinds...>::entry_keywords(),
    binding<Fn, Result, Kinds...>::flags,
    &binding<Fn, Result, Kinds...>::where,
    binding<Fn, Result, Kinds...>::signature.text,
    &binding<Fn, Result, Kinds...>::init,
    &binding<Fn, Result, Kinds...>::entry_adapted,
    binding<Fn, Result, Kinds...>::entry_fast(),
};

// The two shapes most rows use: a serialized request in, (status, response) or a status out.
template <auto Fn>
inline constexpr shape query = call<Fn, query_result, kinds::request<"req">>;

template <auto Fn>
inline constexpr shape command = call<Fn, status_result, kinds::request<"req">>;

}  // namespace csdk::shapes
