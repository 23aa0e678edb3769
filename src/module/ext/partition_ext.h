// The row-block functions of _native_ext: the native side of fits whose
// rows are split among the workers of a cluster.
#pragma once

#include <span>

#include "module/python_ref.h"

namespace graphripple::py {

/// Method definitions of the row-block functions. Static storage.
std::span<PyMethodDef> partition_entry_point_definitions();

}  // namespace graphripple::py
