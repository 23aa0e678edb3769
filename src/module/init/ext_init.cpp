// graphripple._native_ext: only the init function. The module's code and
// its process-wide state live in the shared engine library beside it.
#include "module/export.h"

PyMODINIT_FUNC PyInit__native_ext() { return PyModuleDef_Init(graphripple_ext_module_definition()); }
