// Conversion of the settings shared by every fit function.
#include "module/settings.h"

#include "module/array_input.h"
#include "module/conversion.h"
#include "module/errors.h"

namespace graphripple::py {

bool noted(bool converted, const char* name) {
  if (!converted) add_parameter_note(name);
  return converted;
}

bool convert_settings(std::span<PyObject* const> slot, const char* weights_name, Settings& out) {
  if (!noted(convert_unsigned(slot[0], out.dim), "dim")) return false;
  if (!noted(convert_float_sequence(slot[1], out.weights), weights_name)) return false;
  if (slot[2] != nullptr && slot[2] != Py_None) {
    std::uint64_t seed = 0;
    if (!noted(convert_unsigned(slot[2], seed), "seed")) return false;
    out.seed = seed;
  }
  if (slot[3] != nullptr && !noted(convert_bool(slot[3], out.undirected), "undirected")) return false;
  if (slot[4] != nullptr && slot[4] != Py_None &&
      !noted(convert_float64_matrix(slot[4], out.node_features), "node_features"))
    return false;
  if (slot[5] != nullptr && !noted(convert_float(slot[5], out.feature_weight), "feature_weight")) return false;
  return true;
}

Expected<FitParams> build_params(Settings& settings) {
  FitParams params(settings.dim);
  params.weights = std::move(settings.weights);
  params.seed = settings.seed;
  params.undirected = settings.undirected;
  params.feature_weight = settings.feature_weight;
  if (settings.node_features) {
    Expected<MatrixF64> features = copy_matrix(settings.node_features.get());
    if (!features) return std::move(features).error();
    params.node_features = std::move(features).value();
    settings.node_features = PyRef();
  }
  return params;
}

}  // namespace graphripple::py
