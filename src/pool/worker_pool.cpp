// Placeholder: runs every loop on the calling thread until the pool lands.
#include "pool/worker_pool.h"

namespace graphripple {

std::size_t current_num_threads() { return 1; }

void parallel_for_ranges(std::size_t n, RangeBody body) {
  if (n > 0) body(0, n);
}

}  // namespace graphripple
