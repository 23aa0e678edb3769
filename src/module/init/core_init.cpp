// graphripple._native_core: only the init function. The module's code and
// its process-wide state live in the shared engine library beside it.
#include "module/export.h"

PyMODINIT_FUNC PyInit__native_core() { return PyModuleDef_Init(graphripple_core_module_definition()); }
