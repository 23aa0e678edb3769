// The calling thread's monitor and the engine's check points.
#include "pool/fit_monitor.h"

namespace graphripple {
namespace {

constinit thread_local FitMonitor* this_thread_monitor = nullptr;

}  // namespace

MonitorScope::MonitorScope(FitMonitor* monitor) noexcept : previous_(this_thread_monitor) {
  this_thread_monitor = monitor;
}

MonitorScope::~MonitorScope() { this_thread_monitor = previous_; }

FitMonitor* current_monitor() noexcept { return this_thread_monitor; }

void check_point() {
  FitMonitor* monitor = this_thread_monitor;
  if (monitor == nullptr) return;
  if (!monitor->stop_requested() && monitor->poll()) monitor->request_stop();
  if (monitor->stop_requested()) throw FitCancelled{};
}

void report_progress(std::uint64_t done, std::uint64_t total) {
  FitMonitor* monitor = this_thread_monitor;
  if (monitor == nullptr) return;
  if (!monitor->stop_requested() && monitor->progress(done, total)) monitor->request_stop();
  check_point();
}

}  // namespace graphripple
