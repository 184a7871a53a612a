#include "bindings/kinds.hpp"

#include "module/race_points.hpp"
#include "module/ref.hpp"

namespace csdk::kinds {

bool to_int_slow(PyObject* o, int& out) noexcept {
    ref converted;
    PyObject* number = o;
    if (!PyLong_Check(o)) {
        PyNumberMethods* m = Py_TYPE(o)->tp_as_number;
        if (!m || !m->nb_int) {
            PyErr_SetString(PyExc_TypeError, "an integer is required");
            return false;
        }
        converted = ref::steal(m->nb_int(o));
        if (!converted) return false;
        number = converted.get();
        if (!PyLong_CheckExact(number)) {
            if (!PyLong_Check(number)) {
                PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
                             Py_TYPE(number)->tp_name);
                return false;
            }
            if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                                 "__int__ returned non-int (type %.200s).  The ability to return an "
                                 "instance of a strict subclass of int is deprecated, and may be "
                                 "removed in a future version of Python.",
                                 Py_TYPE(number)->tp_name) < 0)
                return false;
        }
    }
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(number, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

void pin::hold(PyObject* o) noexcept {
    race_point("pin", o);  // another thread may resize a bytearray until it is pinned
    exported_ = PyByteArray_Check(o);
    // bytearray's own slot: it fills the view over the object's storage (taking a reference) and
    // counts the export; it cannot fail with a view given.
    if (exported_ && PyByteArray_Type.tp_as_buffer->bf_getbuffer(o, &view_, PyBUF_SIMPLE) == 0) {
        obj_ = o;
        return;
    }
    exported_ = false;
    obj_ = Py_NewRef(o);
}

void pin::release() noexcept {
    PyObject* o = obj_;
    obj_ = nullptr;
    if (exported_) {
        if (PyByteArray_Type.tp_as_buffer->bf_releasebuffer)
            PyByteArray_Type.tp_as_buffer->bf_releasebuffer(o, &view_);
        Py_DECREF(view_.obj);
    } else {
        Py_DECREF(o);
    }
}

bool to_text_slow(PyObject* o, text_value& out) noexcept {
    if (PyBytes_Check(o)) {
        out.keep.hold(o);
        out.data = PyBytes_AS_STRING(o);
        return true;
    }
    if (PyByteArray_Check(o)) {
        out.keep.hold(o);
        out.data = PyByteArray_AS_STRING(o);  // an empty bytearray gives "", never null
        return true;
    }
    (void)PyBytes_AsString(o);  // raises the interpreter's TypeError for the type found
    return false;
}

bool to_request_slow(PyObject* o, request_view& out) noexcept {
    Py_ssize_t size = PyObject_Size(o);  // len(req) first: an object without a length fails here
    if (size < 0) return false;
    if (!PyBytes_Check(o) && !PyByteArray_Check(o)) {
        (void)PyBytes_AsString(o);  // raises the interpreter's TypeError, naming the type found
        return false;
    }
    // Pinned before its pointer and size are read: once the export is in place no Python code,
    // and no other thread that resizes through bytearray's methods, can move the bytes; read
    // before it, they could be moved between the two reads. The export itself is not
    // synchronised with another thread's resize on the free-threaded 3.13 (any buffer export
    // inside the interpreter races the same way); 3.14t synchronises the two.
    out.keep.hold(o);
    const char* data;
    Py_ssize_t capacity;
    if (PyBytes_Check(o)) {
        data = PyBytes_AS_STRING(o);
        capacity = PyBytes_GET_SIZE(o);
    } else {
        data = PyByteArray_AS_STRING(o);
        capacity = PyByteArray_GET_SIZE(o);
    }
    // A subclass may report any length; the SDK must never be told to read past the buffer.
    if (size > capacity) {
        PyErr_Format(PyExc_ValueError, "len() of the request is %zd but it holds %zd bytes", size, capacity);
        return false;
    }
    // The SDK takes the length as a C int; a longer request is refused rather than truncated.
    if (size > INT_MAX) {
        PyErr_Format(PyExc_OverflowError, "request of %zd bytes is too long for the SDK (at most %d)", size, INT_MAX);
        return false;
    }
    out.data = data;
    out.size = static_cast<int>(size);
    return true;
}

}  // namespace csdk::kinds
