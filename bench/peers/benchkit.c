/*
 * The bench's own instruments: the empty builtins (the floor of each call convention), the event
 * driver that makes the SDK stand-in deliver events in a C loop, and the callgrind controls.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <standin_control.h>
#include <vqsdk/vqsdk.h>

#if defined(__has_include)
#  if __has_include(<valgrind/callgrind.h>)
#    include <valgrind/callgrind.h>
#    define HAVE_CALLGRIND 1
#  endif
#endif
#ifndef HAVE_CALLGRIND
#  define HAVE_CALLGRIND 0
#  define RUNNING_ON_VALGRIND 0
#  define CALLGRIND_START_INSTRUMENTATION
#  define CALLGRIND_TOGGLE_COLLECT
#  define CALLGRIND_ZERO_STATS
#  define CALLGRIND_DUMP_STATS_AT(x) ((void)(x))
#endif

/* ---- floors ---------------------------------------------------------------------------------- */

static PyObject *empty_o(PyObject *self, PyObject *arg) { Py_RETURN_NONE; }
static PyObject *empty_noargs(PyObject *self, PyObject *unused) { Py_RETURN_NONE; }
static PyObject *empty_fast(PyObject *self, PyObject *const *args, Py_ssize_t n, PyObject *kwnames)
{
    Py_RETURN_NONE;
}
static PyObject *empty_positional(PyObject *self, PyObject *const *args, Py_ssize_t n) { Py_RETURN_NONE; }
static PyObject *empty_varargs(PyObject *self, PyObject *args, PyObject *kwargs) { Py_RETURN_NONE; }

/* ---- events ---------------------------------------------------------------------------------- */

static void noop_event(const char *topic, const char *data, int len) {}

/* The floor of an event: the handler called with two ready objects, nothing converted. */
static PyObject *floor_handler, *floor_topic, *floor_payload;
static void floor_event(const char *topic, const char *data, int len)
{
    PyObject *argv[3] = {NULL, floor_topic, floor_payload};
    PyObject *r = PyObject_Vectorcall(floor_handler, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
    if (r)
        Py_DECREF(r);
    else
        PyErr_WriteUnraisable(floor_handler);
}

/* install_noop(): registers a callback that does nothing (the empty loop of the event shape). */
static PyObject *install_noop(PyObject *self, PyObject *unused)
{
    standin_swap_callback(noop_event);
    Py_RETURN_NONE;
}

/* install_floor(handler, topic, payload) */
static PyObject *install_floor(PyObject *self, PyObject *const *args, Py_ssize_t n)
{
    if (n != 3) {
        PyErr_SetString(PyExc_TypeError, "install_floor(handler, topic, payload)");
        return NULL;
    }
    Py_XSETREF(floor_handler, Py_NewRef(args[0]));
    Py_XSETREF(floor_topic, Py_NewRef(args[1]));
    Py_XSETREF(floor_payload, Py_NewRef(args[2]));
    standin_swap_callback(floor_event);
    Py_RETURN_NONE;
}

/* emit_inside(n, topic: bytes, payload: bytes, sdk_call): the stand-in delivers n events, one at a
 * time, to whatever callback is registered, from inside one SDK call: sdk_call() (the peer's own
 * binding of an SDK function), or with None an SDK function called from here. That is where an SDK
 * delivers its events (inside vqi_run, vqi_poll, ...), on the thread that called it. */
static PyObject *emit_inside(PyObject *self, PyObject *const *args, Py_ssize_t n)
{
    if (n != 4 || !PyBytes_Check(args[1]) || !PyBytes_Check(args[2])) {
        PyErr_SetString(PyExc_TypeError, "emit_inside(n, topic: bytes, payload: bytes, sdk_call)");
        return NULL;
    }
    Py_ssize_t count = PyLong_AsSsize_t(args[0]);
    if (count == -1 && PyErr_Occurred()) return NULL;
    if (!standin_callback_registered()) {
        PyErr_SetString(PyExc_RuntimeError, "no event callback registered");
        return NULL;
    }
    const char *topic = PyBytes_AS_STRING(args[1]);
    const char *data = PyBytes_AS_STRING(args[2]);
    size_t size = (size_t)PyBytes_GET_SIZE(args[2]);
    for (Py_ssize_t i = 0; i < count; ++i) standin_queue_event(topic, data, size, (int)size);
    standin_set_deliver_on_call(1);
    PyObject *r = NULL;
    if (args[3] == Py_None) {
        (void)vqi_get_ext_errormsg();
        if (!PyErr_Occurred()) r = Py_NewRef(Py_None);
    } else {
        r = PyObject_CallNoArgs(args[3]);
    }
    standin_set_deliver_on_call(0);
    if (r && PyErr_Occurred()) Py_CLEAR(r);
    if (r) {
        Py_DECREF(r);
        Py_RETURN_NONE;
    }
    return NULL;
}

/* ---- callgrind ------------------------------------------------------------------------------- */

static PyObject *on_valgrind(PyObject *self, PyObject *unused)
{
    return PyBool_FromLong(HAVE_CALLGRIND && RUNNING_ON_VALGRIND);
}

static PyObject *cg_instrument(PyObject *self, PyObject *unused)
{
    CALLGRIND_START_INSTRUMENTATION;
    Py_RETURN_NONE;
}

/* cg_begin(): counting on. Nothing else runs between here and the caller's loop. */
static PyObject *cg_begin(PyObject *self, PyObject *unused)
{
    CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
    Py_RETURN_NONE;
}

/* cg_end(name): counting off, then the counts go to a dump named `name`. */
static PyObject *cg_end(PyObject *self, PyObject *name)
{
    CALLGRIND_TOGGLE_COLLECT;
    const char *text = PyUnicode_AsUTF8(name);
    if (!text) return NULL;
    CALLGRIND_DUMP_STATS_AT(text);
    Py_RETURN_NONE;
}

#define FASTKW(f) (PyCFunction)(void (*)(void))(f), METH_FASTCALL | METH_KEYWORDS
#define FAST(f) (PyCFunction)(void (*)(void))(f), METH_FASTCALL
#define VARKW(f) (PyCFunction)(void (*)(void))(f), METH_VARARGS | METH_KEYWORDS

static PyMethodDef methods[] = {
    {"empty_o", empty_o, METH_O, NULL},
    {"empty_noargs", empty_noargs, METH_NOARGS, NULL},
    {"empty_fast", FASTKW(empty_fast), NULL},
    {"empty_positional", FAST(empty_positional), NULL},
    {"empty_varargs", VARKW(empty_varargs), NULL},
    {"install_noop", install_noop, METH_NOARGS, NULL},
    {"install_floor", FAST(install_floor), NULL},
    {"emit_inside", FAST(emit_inside), NULL},
    {"on_valgrind", on_valgrind, METH_NOARGS, NULL},
    {"cg_instrument", cg_instrument, METH_NOARGS, NULL},
    {"cg_begin", cg_begin, METH_NOARGS, NULL},
    {"cg_end", cg_end, METH_O, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "_benchkit", NULL, -1, methods};

PyMODINIT_FUNC PyInit__benchkit(void) { return PyModule_Create(&module); }
