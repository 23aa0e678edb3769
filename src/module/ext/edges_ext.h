// The edge functions of _native_ext: edge arrays into the CSR layout the
// fit functions take.
#pragma once

#include <span>

#include "module/python_ref.h"

namespace graphripple::py {

/// Method definitions of the edge functions. Static storage.
std::span<PyMethodDef> edge_entry_point_definitions();

}  // namespace graphripple::py
