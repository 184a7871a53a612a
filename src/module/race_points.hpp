// Race points: instants at which another thread could change what the module is working on
// (free-threaded), and the order of the module's own steps around them matters. A test build
// (the stand-in build, CSDK_RACE_POINTS) calls sys._csdk_race_hook(point, subject) there, when a
// test has set it, so that a test can make that change at exactly that instant, on any build; a
// build for use has none.
#pragma once
#include <Python.h>

namespace csdk {

#if CSDK_RACE_POINTS
// The hook's exception is reported as unraisable; the pending exception is kept.
void race_point(const char* point, PyObject* subject) noexcept;
#else
inline void race_point(const char*, PyObject*) noexcept {}
#endif

}  // namespace csdk
