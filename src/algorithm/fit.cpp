// Placeholder until the engine lands.
#include "algorithm/fit_params.h"
