// The event bridge and the run-loop bindings.
#include "bindings/registry.hpp"

namespace csdk {

const row_list event_rows = {nullptr, 0};

}  // namespace csdk
