// The function of the extension module _native_ext: fit_csr_ext.
#pragma once

#include <span>

#include "module/python_ref.h"

namespace graphripple::py {

/// Method definitions of _native_ext's functions. Static storage.
std::span<PyMethodDef> ext_entry_point_definitions();

}  // namespace graphripple::py
