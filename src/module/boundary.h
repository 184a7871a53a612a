/*
 * What the module offers the SDK library it is linked with: a way for an SDK-side layer (the
 * session recorder, which stands in front of the vendor's library) to let other threads into the
 * SDK, or to call the interpreter, from inside an SDK call the module made.
 *
 * Free-threaded, a thread inside such a call is detached from the interpreter and holds the
 * module's SDK lock; a layer that waits there for another thread of its own (which may deliver an
 * event whose handler calls the SDK) or that needs to ask the interpreter something must first let
 * that lock go. With the GIL the thread holds the interpreter lock, and the layer uses the
 * interpreter's own thread-state API instead: there is nothing of the module's to let go.
 */
#ifndef CSDK_BOUNDARY_H
#define CSDK_BOUNDARY_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct csdk_boundary {
    unsigned size; /* sizeof(csdk_boundary) of the module that filled it in */
    /* On a thread inside an SDK call the module made: lets go of the SDK lock and, with `attach`,
     * attaches the thread to the interpreter (as for an event's handler), so that it may call it.
     * Returns a token for resume(), or null when there is nothing to do: a thread outside the
     * module's calls, a build with the GIL, or (with `attach`) an interpreter that is finalizing
     * and would stop the thread for good. */
    void *(*suspend)(int attach);
    /* Undoes suspend(): detaches the thread again (if it attached) and takes the SDK lock back. */
    void (*resume)(void *token);
} csdk_boundary;

/* Defined by an SDK-side layer that wants the boundary (a vendor's library does not: the
 * reference is weak). The module calls it at import, before any SDK call. */
__attribute__((weak)) void vqsdk_module_boundary(const csdk_boundary *boundary);

#ifdef __cplusplus
}
#endif

#endif /* CSDK_BOUNDARY_H */
