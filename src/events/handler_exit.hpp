// SystemExit raised by a handler (handler_exit.cpp).
#pragma once
#include <Python.h>

namespace csdk::events {

// With the SystemExit pending (normalized) and the SDK's run loop stopped: asks the main thread
// to raise it, and makes sure the process ends within a bounded time if it does not. Leaves the
// exception pending.
void exit_from_handler() noexcept;

}  // namespace csdk::events
