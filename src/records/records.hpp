#pragma once
#include <Python.h>

namespace csdk::records {

// Creates QuoteItemLikeDict2, TickLikeDict2, BarLikeDict2 and ObjectLikeDict2 and binds each
// right after creating it, in this order.
int add_to(PyObject* module) noexcept;

}  // namespace csdk::records
