// Conversion of scalar and sequence arguments into owned native values.
//
// Each function returns true and fills `out`, or returns false with a Python
// exception set; the caller adds the parameter note. All of them run with
// the interpreter lock held.
#pragma once

#include <cstdint>
#include <vector>

#include "csr/csr_graph.h"
#include "module/python_ref.h"

namespace graphripple::py {

/// `int` (or subclass, bool included) or any object with __index__, value
/// 0 to 2**64 - 1. TypeError / OverflowError are the interpreter's own.
bool convert_unsigned(PyObject* object, std::uint64_t& out);

/// Exact `bool`, or a NumPy boolean scalar through its truth slot.
bool convert_bool(PyObject* object, bool& out);

/// Exact `float`, or whatever the interpreter's float conversion accepts.
bool convert_float(PyObject* object, double& out);

/// Any sequence except `str`, each item converted as a float.
bool convert_float_sequence(PyObject* object, std::vector<double>& out);

/// Sequence (not `str`) of sequences (not `str`) of (node id, weight)
/// 2-tuples.
bool convert_adjacency_list(PyObject* object, AdjacencyList& out);

}  // namespace graphripple::py
