#include "records/records.hpp"

namespace csdk::records {

int add_to(PyObject*) noexcept { return 0; }

}  // namespace csdk::records
