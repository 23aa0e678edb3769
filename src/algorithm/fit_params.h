// FitParams: the settings of one fit, built by the module boundary.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "csr/matrix_f64.h"

namespace graphripple {

struct FitParams {
  explicit FitParams(std::uint64_t dim) : dim(dim) {}

  std::uint64_t dim;
  std::vector<double> weights{0.0, 1.0, 1.0};  ///< one per power of T
  std::optional<std::uint64_t> seed;           ///< absent: fresh randomness
  bool undirected = true;                      ///< propagate over A + A^T
  std::optional<MatrixF64> node_features;      ///< one row per node
  double feature_weight = 1.0;
};

}  // namespace graphripple
