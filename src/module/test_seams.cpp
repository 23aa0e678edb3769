// Test-only entry points of the engine library, compiled in only when the
// build sets GRAPHRIPPLE_TEST_SEAMS. They are plain C symbols with default
// visibility, reached with ctypes through either module's shared object
// (which loads the engine library), so the module namespaces stay as they
// are.
#ifdef GRAPHRIPPLE_TEST_SEAMS

#include <cstdint>

#include "error/fallible_alloc.h"

extern "C" {

/// Makes the k-th fallible reservation from now fail (k >= 1); 0 disarms.
__attribute__((visibility("default"))) void graphripple_test_fail_reservation_after(std::uint64_t k) {
  graphripple::detail::fail_reservation_after(k);
}

/// Fallible reservations made so far in this process.
__attribute__((visibility("default"))) std::uint64_t graphripple_test_reservation_count() {
  return graphripple::detail::reservation_count();
}

}  // extern "C"

#endif  // GRAPHRIPPLE_TEST_SEAMS
