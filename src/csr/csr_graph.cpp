// Placeholder until the graph builders land.
#include "csr/csr_graph.h"
