// The three module functions fit_dense, fit_csr and fit_adj_list.
#pragma once

#include <span>

#include "module/python_ref.h"

namespace graphripple::py {

/// Method definitions of the module functions, in the order in which the
/// module adds them: fit_dense, fit_csr, fit_adj_list. Static storage.
std::span<PyMethodDef> entry_point_definitions();

}  // namespace graphripple::py
