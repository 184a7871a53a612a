/* An embedding program: the interpreter made, c_sdk imported and called, an SDK thread of the
 * stand-in's delivering events while the interpreter finalizes, then a second interpreter made in
 * the same process and c_sdk imported again. Each step prints one line (tests/test_embedding.py).
 * EMBED_EVENTS is the number of events each of the two SDK threads delivers.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dlfcn.h>
#include <stdio.h>

static const char first[] =
    "import os, c_sdk\n"
    "from vqsdk_standin import StandIn\n"
    "sdk = StandIn()\n"
    "sdk.reset(callback=True)\n"
    "print('first import:', c_sdk.py_vqi_get_orders(b'embed'))\n"
    "seen = []\n"
    "c_sdk.py_vqi_set_data_callback(lambda topic, payload: seen.append(topic))\n"
    "sdk.thread_events(2, int(os.environ['EMBED_EVENTS']), 'late', b'x')\n"
    "while len(seen) < 100:\n"
    "    pass\n"
    "print('events delivered, finalizing')\n";

static const char second[] =
    "try:\n"
    "    import c_sdk\n"
    "except ImportError as refused:\n"
    "    print('second import refused:', refused)\n"
    "else:\n"
    "    print('second import:', c_sdk.py_vqi_get_orders(b'again'))\n";

static int run(const char* code) {
    Py_Initialize();
    int failed = PyRun_SimpleString(code);
    fflush(stdout);
    if (Py_FinalizeEx() < 0) failed = 1;
    return failed;
}

int main(void) {
    if (run(first)) return 1;
    printf("finalized\n");
    fflush(stdout);

    /* The SDK joins its threads: each must have returned, its late events dropped. */
    void* sdk = dlopen("libvqsdk.so", RTLD_NOW | RTLD_NOLOAD);
    int (*join)(void) = sdk ? (int (*)(void))dlsym(sdk, "standin_thread_events_join") : NULL;
    if (!join) {
        fprintf(stderr, "embed: the stand-in is not loaded: %s\n", dlerror());
        return 1;
    }
    printf("SDK threads joined (%d events)\n", join());
    fflush(stdout);

    if (run(second)) return 1;
    printf("finalized again\n");
    return 0;
}
