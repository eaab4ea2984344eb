// Shared between the two classes of vestri.ondrel.pointel.
#pragma once

#include "common/ref.hpp"

namespace pointel {

// Set while the module body runs; live for the rest of the process.
extern PyTypeObject* g_pointel;         // Pointel
extern PyTypeObject* g_nested;          // NestedPointel
extern getattrofunc g_pointel_getattro; // Pointel's attribute read

// Builds NestedPointel over Pointel and MutableMapping.
vo::Ref make_nested_pointel(PyObject* module) noexcept;

}  // namespace pointel
