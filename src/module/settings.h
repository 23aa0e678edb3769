// The settings every fit function shares (dim to feature_weight), their
// conversion in parameter order and the FitParams built from them. Used by
// both extension modules, so both convert these arguments alike.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "algorithm/fit_params.h"
#include "error/expected.h"
#include "module/python_ref.h"

namespace graphripple::py {

/// The parameters from dim to feature_weight form the tail of the
/// signature of each _native_core function and follow the graph arguments
/// of fit_csr_ext.
inline constexpr std::size_t SETTINGS_COUNT = 6;

/// Adds the "while processing 'NAME'" note when a conversion failed.
bool noted(bool converted, const char* name);

struct Settings {
  std::uint64_t dim = 0;
  std::vector<double> weights;
  std::optional<std::uint64_t> seed;
  bool undirected = true;
  PyRef node_features;  ///< the caller's array, until it is copied
  double feature_weight = 1.0;
};

/// Converts dim, weights (under its Python name), seed, undirected,
/// node_features and feature_weight, in that order. Absent optional values
/// keep the defaults above.
bool convert_settings(std::span<PyObject* const> slot, const char* weights_name, Settings& out);

/// FitParams from the converted settings; node_features is copied here and
/// the hold on the caller's array dropped at once.
Expected<FitParams> build_params(Settings& settings);

}  // namespace graphripple::py
