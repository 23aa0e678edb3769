// What the shared engine library (libgraphripple_engine) exports.
//
// The library is built with hidden visibility, so a symbol leaves it only
// when marked here: the two module definitions the extension modules
// return from their init functions (and, in test builds, the seams).
// Everything else, engine and binding code alike, stays private to it.
#pragma once

#include "module/python_ref.h"

#if defined(_WIN32)
#  if defined(GRAPHRIPPLE_BUILDING_ENGINE)
#    define GRAPHRIPPLE_EXPORT __declspec(dllexport)
#  else
#    define GRAPHRIPPLE_EXPORT __declspec(dllimport)
#  endif
#else
#  define GRAPHRIPPLE_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

/// The definition of graphripple._native_core (multi-phase initialisation).
GRAPHRIPPLE_EXPORT PyModuleDef* graphripple_core_module_definition();

/// The definition of graphripple._native_ext (multi-phase initialisation).
GRAPHRIPPLE_EXPORT PyModuleDef* graphripple_ext_module_definition();

}  // extern "C"
