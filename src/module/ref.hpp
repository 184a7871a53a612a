// Owning handle for one Python reference. Error paths return early and the handle releases what
// it holds; no goto chains, no manual Py_DECREF bookkeeping.
#pragma once
#include <Python.h>

namespace csdk {

class ref {
public:
    ref() noexcept = default;
    static ref steal(PyObject* p) noexcept { ref r; r.p_ = p; return r; }
    static ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return steal(p); }

    ref(const ref&) = delete;
    ref& operator=(const ref&) = delete;
    ref(ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ref& operator=(ref&& o) noexcept {
        PyObject* old = p_;
        p_ = o.p_;
        o.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { PyObject* p = p_; p_ = nullptr; return p; }
    void reset(PyObject* stolen = nullptr) noexcept { PyObject* old = p_; p_ = stolen; Py_XDECREF(old); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

}  // namespace csdk
