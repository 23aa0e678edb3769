// processor_count from the affinity mask, else the online processor count.
#include <sched.h>
#include <unistd.h>

#include <cerrno>

#include "os/processor_count.h"

namespace graphripple {

std::size_t processor_count() {
  // Count the CPUs this process may actually run on (containers and taskset
  // restrict it), growing the mask for machines with more than CPU_SETSIZE.
  for (std::size_t cpus = CPU_SETSIZE; cpus <= (std::size_t{1} << 20); cpus *= 2) {
    cpu_set_t* set = CPU_ALLOC(cpus);
    if (set == nullptr) break;
    const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
    CPU_ZERO_S(bytes, set);
    const int rc = sched_getaffinity(0, bytes, set);
    const int count = rc == 0 ? CPU_COUNT_S(bytes, set) : 0;
    CPU_FREE(set);
    if (rc == 0) return static_cast<std::size_t>(count);
    if (errno != EINVAL) break;  // EINVAL: the kernel's mask is larger than ours
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<std::size_t>(online) : 0;
}

}  // namespace graphripple
