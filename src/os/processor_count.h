// processor_count: how many logical processors the worker pool may use.
//
// - Linux (processor_count_linux.cpp): the CPUs in this process's affinity
//   mask (containers and taskset restrict it), else the online count.
// - Windows (processor_count_windows.cpp): what GetSystemInfo reports.
#pragma once

#include <cstddef>

namespace graphripple {

/// Logical processors this process may run on; 0 when the OS cannot tell
/// (the caller decides what 0 means).
std::size_t processor_count();

}  // namespace graphripple
