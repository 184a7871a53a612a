// Argument kinds: how one Python parameter becomes the native argument(s) of an SDK call.
//
// A kind names its Python parameter (a compile-time string, for keyword binding and the text
// signature), converts the object into `value` (false with the exception set on failure, and
// then the SDK is never called), and spreads `value` into the native arguments with `natives`.
// The pointers handed to the SDK point into the caller's objects and live for the call only;
// whatever could move or free the bytes before the call ends is pinned by the value (see pin).
#pragma once
#include <Python.h>

#include <climits>
#include <cstddef>
#include <tuple>

#include "module/errors.hpp"

namespace csdk::kinds {

template <std::size_t N>
struct fixed_string {
    char text[N]{};
    constexpr fixed_string(const char (&s)[N]) noexcept {
        for (std::size_t i = 0; i < N; ++i) text[i] = s[i];
    }
    static constexpr std::size_t size = N - 1;
};

// Where a kind's Python parameter sits when it differs from the native order (-1: next in order).
inline constexpr int next_param = -1;

// ---- conversions ------------------------------------------------------------------------------
// Each is a type test and a load or two on its fast path, forced inline: left to itself the
// compiler keeps out-of-line copies in the bindings with many parameters, and pays a call for each
// argument.
#define CSDK_INLINE [[gnu::always_inline]] inline

// ---- the common case, with nothing to hold ------------------------------------------------------
// Each kind also converts the objects that need no pin and run no Python code (an exact bytes,
// an int that fits, a float, True, False or None) into a plain value: a binding tries that first
// for all its arguments and, should any of them be something else, converts them all again the
// general way. Nothing is held then, so nothing needs releasing after the SDK call.

struct bytes_view {
    const char* data;
    int size;
};

CSDK_INLINE bool fast_request(PyObject* o, bytes_view& out) noexcept {
    if (CSDK_LIKELY(PyBytes_CheckExact(o) && PyBytes_GET_SIZE(o) <= INT_MAX)) {
        out = {PyBytes_AS_STRING(o), static_cast<int>(PyBytes_GET_SIZE(o))};
        return true;
    }
    return false;
}

CSDK_INLINE bool fast_text(PyObject* o, const char*& out) noexcept {
    if (CSDK_LIKELY(PyBytes_CheckExact(o))) {
        out = PyBytes_AS_STRING(o);
        return true;
    }
    return false;
}

CSDK_INLINE bool fast_int(PyObject* o, int& out) noexcept {
    if (CSDK_LIKELY(PyLong_CheckExact(o))) {
        int overflow;
        long v = PyLong_AsLongAndOverflow(o, &overflow);
        if (CSDK_LIKELY(!overflow && v >= INT_MIN && v <= INT_MAX)) {
            out = static_cast<int>(v);
            return true;
        }
    }
    return false;
}

CSDK_INLINE bool fast_double(PyObject* o, double& out) noexcept {
    if (CSDK_LIKELY(PyFloat_CheckExact(o))) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    return false;
}

CSDK_INLINE bool fast_bool(PyObject* o, bool& out) noexcept {
    out = o == Py_True;
    return o == Py_True || o == Py_False || o == Py_None;
}

// What keeps the bytes behind a pointer handed to the SDK in place until the binding returns. Any
// conversion after this one, the success constant's lookup and an event the SDK delivers inside
// its own call can run Python code. An exact bytes needs nothing (immutable, and its owner, the
// caller or the binding, holds it for the call); a bytes subclass is held; a bytearray (subclasses
// included) is held and its buffer exported, so that resizing it fails with the interpreter's
// BufferError and the SDK reads the bytes as they were converted. The export goes through
// bytearray's own buffer slots: a subclass's __buffer__ would hand out other memory.
class pin {
public:
    pin() noexcept {}  // leaves the view unset: the hot path pays one store
    pin(const pin&) = delete;
    pin& operator=(const pin&) = delete;
    ~pin() {
        if (CSDK_UNLIKELY(obj_ != nullptr)) release();
    }

    // Pins `o`, a bytes or bytearray of any kind (nothing else). Cannot fail.
    CSDK_COLD void hold(PyObject* o) noexcept;

private:
    CSDK_COLD void release() noexcept;
    PyObject* obj_ = nullptr;  // strong while set
    bool exported_;
    union {
        Py_buffer view_;
    };
};

// A text argument: the NUL-terminated bytes and their pin. (Constructors of their own, so that a
// value-initialized tuple of values does not zero the pin's view.)
struct text_value {
    const char* data;
    pin keep;
    text_value() noexcept {}
};

CSDK_COLD bool to_text_slow(PyObject* o, text_value& out) noexcept;

// bytes or bytearray (subclasses included) as a NUL-terminated string; anything else raises the
// interpreter's bytes conversion error ("expected bytes, str found").
CSDK_INLINE bool to_text(PyObject* o, text_value& out) noexcept {
    return fast_text(o, out.data) || to_text_slow(o, out);
}

CSDK_COLD bool to_int_slow(PyObject* o, int& out) noexcept;

// A 32-bit int from an int (subclasses included: True is 1) or any object with __int__.
CSDK_INLINE bool to_int(PyObject* o, int& out) noexcept {
    return fast_int(o, out) || to_int_slow(o, out);
}

CSDK_INLINE bool to_double(PyObject* o, double& out) noexcept {
    if (fast_double(o, out)) return true;
    out = PyFloat_AsDouble(o);
    return !(out == -1.0 && PyErr_Occurred());
}

// None and False are false and True is true without asking the object; anything else by its
// truth test (whose exception propagates).
CSDK_INLINE bool to_bool(PyObject* o, bool& out) noexcept {
    if (fast_bool(o, out)) return true;
    int t = PyObject_IsTrue(o);
    out = t > 0;
    return t >= 0;
}

struct request_view {
    const char* data;
    int size;
    pin keep;
    request_view() noexcept {}
};

CSDK_COLD bool to_request_slow(PyObject* o, request_view& out) noexcept;

// A serialized request: its length first (len()), then its bytes, passed whole (NULs included).
CSDK_INLINE bool to_request(PyObject* o, request_view& out) noexcept {
    bytes_view v;
    if (fast_request(o, v)) {
        out.data = v.data;
        out.size = v.size;
        return true;
    }
    return to_request_slow(o, out);
}

// ---- kinds ------------------------------------------------------------------------------------

// One Python parameter converted by `Convert` into a `Value`, passed to the SDK as one `Native`;
// or, held by nothing, by `Fast` into a `Fast_value`.
template <fixed_string Name, int Pos, class Value, bool (*Convert)(PyObject*, Value&), class Native = Value,
          class Fast_value = Value, bool (*Fast)(PyObject*, Fast_value&) = nullptr>
struct parameter {
    static constexpr int params = 1;
    static constexpr int position = Pos;
    static constexpr auto name = Name;
    using value = Value;
    using fast_value = Fast_value;
    static bool convert(PyObject* o, value& v) noexcept { return Convert(o, v); }
    CSDK_INLINE static bool fast(PyObject* o, fast_value& v) noexcept { return Fast(o, v); }
    static std::tuple<Native> natives(value v) noexcept { return {static_cast<Native>(v)}; }
    static std::tuple<Native> fast_natives(fast_value v) noexcept { return {static_cast<Native>(v)}; }
};

// A serialized request goes to the SDK as two arguments: its bytes and their count.
template <fixed_string Name, int Pos = next_param>
struct request : parameter<Name, Pos, request_view, to_request, request_view, bytes_view, fast_request> {
    static std::tuple<const char*, int> natives(const request_view& v) noexcept { return {v.data, v.size}; }
    static std::tuple<const char*, int> fast_natives(bytes_view v) noexcept { return {v.data, v.size}; }
};

template <fixed_string Name, int Pos = next_param>
struct text : parameter<Name, Pos, text_value, to_text, text_value, const char*, fast_text> {
    static std::tuple<const char*> natives(const text_value& v) noexcept { return {v.data}; }
    static std::tuple<const char*> fast_natives(const char* v) noexcept { return {v}; }
};

template <fixed_string Name, int Pos = next_param>
struct integer : parameter<Name, Pos, int, to_int, int, int, fast_int> {};

// An integer argument that the SDK takes as a flag: true exactly when the integer is non-zero.
template <fixed_string Name, int Pos = next_param>
struct integer_flag : parameter<Name, Pos, int, to_int, bool, int, fast_int> {};

template <fixed_string Name, int Pos = next_param>
struct real : parameter<Name, Pos, double, to_double, double, double, fast_double> {};

template <fixed_string Name, int Pos = next_param>
struct truth : parameter<Name, Pos, bool, to_bool, bool, bool, fast_bool> {};

// A native pointer argument the binding always passes as null (no Python parameter).
struct null_pointer {
    static constexpr int params = 0;
    static constexpr int position = next_param;
    static constexpr auto name = fixed_string("");
    struct value {};
    using fast_value = value;
    static bool convert(PyObject*, value&) noexcept { return true; }
    static bool fast(PyObject*, value&) noexcept { return true; }
    static auto natives(value) noexcept { return std::tuple<const void*>(nullptr); }
    static auto fast_natives(value) noexcept { return std::tuple<const void*>(nullptr); }
};

// Marks the instantiation of an exposed SDK function, which calls the same SDK function as a
// binding but is a function of its own (no Python parameter, no native argument).
struct exposed {
    static constexpr int params = 0;
    static constexpr int position = next_param;
    static constexpr auto name = fixed_string("");
    struct value {};
    using fast_value = value;
    static bool convert(PyObject*, value&) noexcept { return true; }
    static bool fast(PyObject*, value&) noexcept { return true; }
    static std::tuple<> natives(value) noexcept { return {}; }
    static std::tuple<> fast_natives(value) noexcept { return {}; }
};

}  // namespace csdk::kinds
