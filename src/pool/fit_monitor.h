// FitMonitor: lets the caller of a long computation stop it early and hear
// how far it has come.
//
// A thread installs a monitor for the duration of a fit (MonitorScope).
// While that thread waits for the worker pool it calls poll() about every
// POLL_INTERVAL; the engine also calls check_point() between its stages,
// which reports progress and polls. Once poll() or progress() asks to stop,
// the stop flag is set: the pool's workers skip every piece of that
// thread's loops they have not started yet (they read the flag before each
// chunk of rows), the loop returns early, and FitCancelled is thrown on the
// monitoring thread as soon as its wait ends. The fit unwinds like any
// other exception, releasing its buffers on the way.
//
// An uninterrupted fit is unchanged: every row is still computed once, by
// the same code, and loop results never depend on how rows are chunked.
// Only the monitoring thread polls; workers do one relaxed load per chunk.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace graphripple {

/// Thrown on the monitoring thread when its monitor asked to stop. Not a
/// std::exception: it is an outcome, not a fault, and the module boundary
/// catches it by type.
struct FitCancelled {};

class FitMonitor {
 public:
  /// How often the monitoring thread wakes while it waits for the pool.
  static constexpr std::chrono::milliseconds POLL_INTERVAL{50};

  FitMonitor() = default;
  FitMonitor(const FitMonitor&) = delete;
  FitMonitor& operator=(const FitMonitor&) = delete;
  virtual ~FitMonitor() = default;

  /// Called on the monitoring thread; true asks the fit to stop.
  virtual bool poll() noexcept = 0;
  /// Called on the monitoring thread at the engine's check points with
  /// done <= total, done never decreasing; true asks the fit to stop.
  virtual bool progress(std::uint64_t /*done*/, std::uint64_t /*total*/) noexcept { return false; }

  /// Whether a stop was asked for. relaxed: the flag publishes no data. The
  /// workers only skip work whose results are discarded, and everything
  /// they did write is ordered before the monitoring thread's use of it by
  /// the loop's completion latch.
  bool stop_requested() const noexcept { return stop_.load(std::memory_order_relaxed); }
  void request_stop() noexcept { stop_.store(true, std::memory_order_relaxed); }

 private:
  std::atomic<bool> stop_{false};
};

/// Installs `monitor` for the calling thread until the scope ends (scopes
/// nest; the previous monitor comes back).
class MonitorScope {
 public:
  explicit MonitorScope(FitMonitor* monitor) noexcept;
  ~MonitorScope();
  MonitorScope(const MonitorScope&) = delete;
  MonitorScope& operator=(const MonitorScope&) = delete;

 private:
  FitMonitor* previous_;
};

/// The calling thread's monitor, or null.
FitMonitor* current_monitor() noexcept;

/// Between stages on the monitoring thread: polls the monitor (when there
/// is one) and throws FitCancelled if a stop was asked for.
void check_point();

/// Reports progress (done of total units) to the calling thread's monitor,
/// then acts as check_point().
void report_progress(std::uint64_t done, std::uint64_t total);

}  // namespace graphripple
