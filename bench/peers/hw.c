/*
 * The hand-written C-API binding: the bench's yardstick. Every other binding is compared with it.
 *
 * It calls the same SDK functions as c_sdk and is written as tight as the public C API allows:
 * METH_O for one parameter, METH_FASTCALL for none, METH_FASTCALL | METH_KEYWORDS with
 * identity-first keyword matching for many; no argument tuple, no format strings; the event
 * handler called through its own vectorcall entry. Its valid-input
 * behaviour matches c_sdk's (results, conversions); its error messages are its own.
 *
 * The *_exact variants keep the tuple-and-dict convention (METH_VARARGS | METH_KEYWORDS) that an
 * exact "<name>() keywords must be strings" message forces: with vectorcall the interpreter
 * rejects `f(**{1: 2})` with its own text before the function runs.
 *
 * CSDK_OPERATE_SUCCESS is read once at import (c_sdk re-reads the module global at each call).
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <limits.h>
#include <string.h>

#include <vqsdk/vqsdk.h>

#define LIKELY(x) __builtin_expect(!!(x), 1)
#define UNLIKELY(x) __builtin_expect(!!(x), 0)
#define COLD __attribute__((cold, noinline))

static long success;
static PyObject *success_obj;

/* ---- conversions ------------------------------------------------------------------------- */

/* A text parameter: bytes or bytearray; with allow_str also str, encoded to ASCII into *owned. */
COLD static int text_slow(PyObject *o, const char **out, PyObject **owned, int allow_str)
{
    if (PyBytes_Check(o)) {
        *out = PyBytes_AS_STRING(o);
        return 0;
    }
    if (PyByteArray_Check(o)) {
        *out = PyByteArray_AS_STRING(o);
        return 0;
    }
    if (allow_str && PyUnicode_Check(o)) {
        *owned = PyUnicode_AsASCIIString(o);
        if (!*owned) return -1;
        *out = PyBytes_AS_STRING(*owned);
        return 0;
    }
    PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(o)->tp_name);
    return -1;
}

static inline int to_text(PyObject *o, const char **out, PyObject **owned, int allow_str)
{
    if (LIKELY(PyBytes_CheckExact(o))) {
        *out = PyBytes_AS_STRING(o);
        return 0;
    }
    return text_slow(o, out, owned, allow_str);
}

/* A serialized request: pointer and length (NULs included). */
COLD static int request_slow(PyObject *o, const char **p, int *n, PyObject **owned, int allow_str)
{
    Py_ssize_t size;
    if (allow_str && PyUnicode_Check(o)) {
        *owned = PyUnicode_AsASCIIString(o);
        if (!*owned) return -1;
        o = *owned;
    }
    if (PyBytes_Check(o)) {
        *p = PyBytes_AS_STRING(o);
        size = PyBytes_GET_SIZE(o);
    } else if (PyByteArray_Check(o)) {
        *p = PyByteArray_AS_STRING(o);
        size = PyByteArray_GET_SIZE(o);
    } else {
        PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(o)->tp_name);
        return -1;
    }
    if (size > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "request too long");
        return -1;
    }
    *n = (int)size;
    return 0;
}

static inline int to_request(PyObject *o, const char **p, int *n, PyObject **owned, int allow_str)
{
    if (LIKELY(PyBytes_CheckExact(o) && PyBytes_GET_SIZE(o) <= INT_MAX)) {
        *p = PyBytes_AS_STRING(o);
        *n = (int)PyBytes_GET_SIZE(o);
        return 0;
    }
    return request_slow(o, p, n, owned, allow_str);
}

COLD static int int_slow(PyObject *o, int *out)
{
    long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (v < INT_MIN || v > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C int");
        return -1;
    }
    *out = (int)v;
    return 0;
}

static inline int to_int(PyObject *o, int *out)
{
    if (LIKELY(PyLong_CheckExact(o))) {
        int overflow;
        long v = PyLong_AsLongAndOverflow(o, &overflow);
        if (LIKELY(!overflow && v >= INT_MIN && v <= INT_MAX)) {
            *out = (int)v;
            return 0;
        }
    }
    return int_slow(o, out);
}

static inline int to_double(PyObject *o, double *out)
{
    if (LIKELY(PyFloat_CheckExact(o))) {
        *out = PyFloat_AS_DOUBLE(o);
        return 0;
    }
    *out = PyFloat_AsDouble(o);
    return *out == -1.0 && PyErr_Occurred() ? -1 : 0;
}

/* (status, bytes) on success, else (status, None). */
static inline PyObject *query_result(int status, const char *res, int res_len)
{
    PyObject *second;
    if (status == success) {
        if (LIKELY(res_len > 0 && res))
            second = PyBytes_FromStringAndSize(res, res_len);
        else if (res_len == 0)
            second = PyBytes_FromStringAndSize(NULL, 0);
        else
            second = Py_NewRef(Py_None);
        if (!second) return NULL;
    } else {
        second = Py_NewRef(Py_None);
    }
    PyObject *first = PyLong_FromLong(status);
    PyObject *tuple = first ? PyTuple_New(2) : NULL;
    if (UNLIKELY(!tuple)) {
        Py_XDECREF(first);
        Py_DECREF(second);
        return NULL;
    }
    PyTuple_SET_ITEM(tuple, 0, first);
    PyTuple_SET_ITEM(tuple, 1, second);
    return tuple;
}

/* ---- one parameter ------------------------------------------------------------------------- */

static PyObject *get_cash(PyObject *self, PyObject *req)
{
    const char *p;
    int n;
    PyObject *owned = NULL;
    if (UNLIKELY(to_request(req, &p, &n, &owned, 0) < 0)) return NULL;
    char *res = NULL;
    int res_len = 0;
    int status = vqi_get_cash_pb_v2(p, n, &res, &res_len);
    return query_result(status, res, res_len);
}

static PyObject *set_pool(PyObject *self, PyObject *req)
{
    const char *p;
    int n;
    PyObject *owned = NULL;
    if (UNLIKELY(to_request(req, &p, &n, &owned, 0) < 0)) return NULL;
    return PyLong_FromLong(vqi_set_instrument_pool_symbols_pb(p, n));
}

/* A decorated query: a str request is encoded to ASCII first. */
static inline PyObject *get_orders_impl(PyObject *req)
{
    const char *p;
    int n;
    PyObject *owned = NULL;
    if (LIKELY(PyUnicode_CheckExact(req))) {
        owned = PyUnicode_AsASCIIString(req);
        if (!owned) return NULL;
        p = PyBytes_AS_STRING(owned);
        n = (int)PyBytes_GET_SIZE(owned);
    } else if (to_request(req, &p, &n, &owned, 1) < 0) {
        return NULL;
    }
    char *res = NULL;
    int res_len = 0;
    int status = vqi_get_orders_pb(p, n, &res, &res_len);
    Py_XDECREF(owned);
    return query_result(status, res, res_len);
}

static PyObject *get_orders(PyObject *self, PyObject *req) { return get_orders_impl(req); }

COLD static int reject_keywords(const char *name, PyObject *kwargs)
{
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value))
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            return -1;
        }
    PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
    return -1;
}

static PyObject *get_orders_exact(PyObject *self, PyObject *args, PyObject *kwargs)
{
    if (UNLIKELY(kwargs && PyDict_GET_SIZE(kwargs))) {
        reject_keywords("get_orders_exact", kwargs);
        return NULL;
    }
    if (UNLIKELY(PyTuple_GET_SIZE(args) != 1)) {
        PyErr_Format(PyExc_TypeError, "get_orders_exact() takes exactly one argument (%zd given)",
                     PyTuple_GET_SIZE(args));
        return NULL;
    }
    return get_orders_impl(PyTuple_GET_ITEM(args, 0));
}

/* No parameter: METH_FASTCALL rather than METH_NOARGS, because the interpreter calls a
 * positional-only vectorcall builtin inline, and a METH_NOARGS one through the generic call path
 * (about 120 instructions more in 3.11). With one parameter METH_O is the cheaper one. */
static PyObject *get_ext_errormsg(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    if (UNLIKELY(nargs != 0)) {
        PyErr_Format(PyExc_TypeError, "get_ext_errormsg() takes no arguments (%zd given)", nargs);
        return NULL;
    }
    const char *s = vqi_get_ext_errormsg();
    return s ? PyBytes_FromString(s) : PyBytes_FromStringAndSize(NULL, 0);
}

static PyObject *c_status_ok(PyObject *self, PyObject *status)
{
    return PyObject_RichCompare(status, success_obj, Py_EQ);
}

/* ---- eleven parameters ---------------------------------------------------------------------- */

#define NPARAMS 11
static const char *const param_texts[NPARAMS] = {
    "symbol", "price", "volume", "side", "order_type", "position_effect",
    "repeat_n", "max_price_offset", "time_out", "time_wait", "account",
};
static PyObject *param_names[NPARAMS];

COLD static Py_ssize_t slow_index(PyObject *key)
{
    if (!PyUnicode_Check(key)) return -2;
    for (Py_ssize_t i = 0; i < NPARAMS; ++i)
        if (PyUnicode_Compare(key, param_names[i]) == 0) return i;
    return -1;
}

/* Parameter index of a keyword: the expected position first, then by identity, then by value. */
static inline Py_ssize_t param_index(PyObject *key, Py_ssize_t guess)
{
    if (LIKELY(guess < NPARAMS && param_names[guess] == key)) return guess;
    for (Py_ssize_t i = 0; i < NPARAMS; ++i)
        if (param_names[i] == key) return i;
    return slow_index(key);
}

COLD static int bad_keyword(const char *name, PyObject *key, Py_ssize_t idx)
{
    if (idx == -2)
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
    else if (idx == -1)
        PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", name, key);
    else
        PyErr_Format(PyExc_TypeError, "%.200s() got multiple values for argument '%U'", name, key);
    return -1;
}

COLD static int bad_count(const char *name, Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError, "%.200s() takes exactly %d arguments (%zd given)", name, NPARAMS, given);
    return -1;
}

COLD static int missing(const char *name, PyObject *const *out)
{
    for (int i = 0; i < NPARAMS; ++i)
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%.200s() missing required argument '%s'", name, param_texts[i]);
            break;
        }
    return -1;
}

static int bind_vector(const char *name, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                       PyObject **out)
{
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    if (UNLIKELY(nargs + nkw > NPARAMS)) return bad_count(name, nargs + nkw);
    for (Py_ssize_t i = 0; i < NPARAMS; ++i) out[i] = i < nargs ? args[i] : NULL;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, j);
        Py_ssize_t idx = param_index(key, nargs + j);
        if (UNLIKELY(idx < 0 || out[idx])) return bad_keyword(name, key, idx);
        out[idx] = args[nargs + j];
    }
    if (UNLIKELY(nargs + nkw != NPARAMS)) return missing(name, out);
    return 0;
}

static int bind_dict(const char *name, PyObject *args, PyObject *kwargs, PyObject **out)
{
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (UNLIKELY(nargs > NPARAMS || nargs + nkw > NPARAMS)) return bad_count(name, nargs + nkw);
    for (Py_ssize_t i = 0; i < NPARAMS; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : NULL;
    if (nkw) {
        Py_ssize_t pos = 0, j = nargs;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_ssize_t idx = param_index(key, j++);
            if (UNLIKELY(idx < 0 || out[idx])) return bad_keyword(name, key, idx);
            out[idx] = value;
        }
    }
    if (UNLIKELY(nargs + nkw != NPARAMS)) return missing(name, out);
    return 0;
}

static inline PyObject *smart_reorder_impl(PyObject *const *a, int allow_str)
{
    const char *symbol, *account;
    PyObject *owned_symbol = NULL, *owned_account = NULL;
    double price;
    int v[8];
    PyObject *result = NULL;
    if (to_text(a[0], &symbol, &owned_symbol, allow_str) < 0 || to_double(a[1], &price) < 0) goto done;
    for (int i = 0; i < 8; ++i)
        if (to_int(a[2 + i], &v[i]) < 0) goto done;
    if (to_text(a[10], &account, &owned_account, allow_str) < 0) goto done;
    result = PyLong_FromLong(
        vqi_smart_reorder(symbol, price, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], account));
done:
    Py_XDECREF(owned_symbol);
    Py_XDECREF(owned_account);
    return result;
}

static PyObject *smart_reorder(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (LIKELY(!kwnames)) {
        if (UNLIKELY(nargs != NPARAMS)) {
            bad_count("smart_reorder", nargs);
            return NULL;
        }
        return smart_reorder_impl(args, 0);
    }
    PyObject *a[NPARAMS];
    if (bind_vector("smart_reorder", args, nargs, kwnames, a) < 0) return NULL;
    return smart_reorder_impl(a, 0);
}

static PyObject *smart_reorder_exact(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *a[NPARAMS];
    if (bind_dict("smart_reorder_exact", args, kwargs, a) < 0) return NULL;
    return smart_reorder_impl(a, 0);
}

/* Decorated: texts may be str (encoded to ASCII). */
static PyObject *smart_reorder_dec(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (LIKELY(!kwnames)) {
        if (UNLIKELY(nargs != NPARAMS)) {
            bad_count("smart_reorder_dec", nargs);
            return NULL;
        }
        return smart_reorder_impl(args, 1);
    }
    PyObject *a[NPARAMS];
    if (bind_vector("smart_reorder_dec", args, nargs, kwnames, a) < 0) return NULL;
    return smart_reorder_impl(a, 1);
}

static PyObject *smart_reorder_dec_exact(PyObject *self, PyObject *args, PyObject *kwargs)
{
    PyObject *a[NPARAMS];
    if (bind_dict("smart_reorder_dec_exact", args, kwargs, a) < 0) return NULL;
    return smart_reorder_impl(a, 1);
}

/* ---- events ---------------------------------------------------------------------------------- */

static PyObject *handler;

/* Runs on the thread inside the SDK call that delivers the event, which holds the GIL. */
static void on_event(const char *topic, const char *data, int len)
{
    PyObject *t = PyUnicode_DecodeUTF8(topic, (Py_ssize_t)strlen(topic), NULL);
    if (UNLIKELY(!t)) goto fail;
    PyObject *d = PyBytes_FromStringAndSize(data, len);
    if (UNLIKELY(!d)) {
        Py_DECREF(t);
        goto fail;
    }
    PyObject *argv[3] = {NULL, t, d};
    vectorcallfunc call = PyVectorcall_Function(handler);
    PyObject *r = call ? call(handler, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL)
                       : PyObject_Vectorcall(handler, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
    Py_DECREF(t);
    Py_DECREF(d);
    if (LIKELY(r != NULL)) {
        Py_DECREF(r);
        return;
    }
fail:
    PyErr_WriteUnraisable(handler);
}

static PyObject *set_callback(PyObject *self, PyObject *h)
{
    Py_XSETREF(handler, Py_NewRef(h));
    vqi_set_event_callback_pb(on_event);
    Py_RETURN_NONE;
}

/* ---- module ---------------------------------------------------------------------------------- */

#define FASTKW(f) (PyCFunction)(void (*)(void))(f), METH_FASTCALL | METH_KEYWORDS
#define VARKW(f) (PyCFunction)(void (*)(void))(f), METH_VARARGS | METH_KEYWORDS
#define FAST(f) (PyCFunction)(void (*)(void))(f), METH_FASTCALL

static PyMethodDef methods[] = {
    {"get_cash", get_cash, METH_O, NULL},
    {"set_pool", set_pool, METH_O, NULL},
    {"get_orders", get_orders, METH_O, NULL},
    {"get_orders_exact", VARKW(get_orders_exact), NULL},
    {"get_ext_errormsg", FAST(get_ext_errormsg), NULL},
    {"c_status_ok", c_status_ok, METH_O, NULL},
    {"smart_reorder", FASTKW(smart_reorder), NULL},
    {"smart_reorder_exact", VARKW(smart_reorder_exact), NULL},
    {"smart_reorder_dec", FASTKW(smart_reorder_dec), NULL},
    {"smart_reorder_dec_exact", VARKW(smart_reorder_dec_exact), NULL},
    {"set_callback", set_callback, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_hw_peer", NULL, -1, methods};

PyMODINIT_FUNC PyInit__hw_peer(void)
{
    for (int i = 0; i < NPARAMS; ++i)
        if (!param_names[i] && !(param_names[i] = PyUnicode_InternFromString(param_texts[i]))) return NULL;
    PyObject *constants = PyImport_ImportModule("vq.constant");
    if (!constants) return NULL;
    success_obj = PyObject_GetAttrString(constants, "CSDK_OPERATE_SUCCESS");
    Py_DECREF(constants);
    if (!success_obj) return NULL;
    success = PyLong_AsLong(success_obj);
    if (success == -1 && PyErr_Occurred()) return NULL;
    return PyModule_Create(&module);
}
