// processor_count from GetSystemInfo: the logical processors of the
// calling process's processor group.
#include <windows.h>

#include "os/processor_count.h"

namespace graphripple {

std::size_t processor_count() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return static_cast<std::size_t>(info.dwNumberOfProcessors);
}

}  // namespace graphripple
