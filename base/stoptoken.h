#pragma once

#include <windows.h>

#include "base/flagevent.h"

// How long a close waits for a helper thread (the folder watcher, the speed
// meter) to notice its stop before it is cut short.
constexpr DWORD kStopWaitMs = 500;

// What a thread's work is handed so that it can end when asked: the owner's
// running flag (set while the work may go on) seen from the other side.
// Long disk work tests it between blocks; every wait includes its event, so
// that a stop is noticed within milliseconds and nothing needs to poll.
// Cheap to copy; the flag it views must outlive it.
class StopToken {
 public:
  explicit StopToken(const FlagEvent& running) : running_(&running) {}

  bool StopRequested() const { return !running_->load(std::memory_order_relaxed); }
  // Signalled once a stop is asked for.
  HANDLE Event() const { return running_->ClearedEvent(); }
  // Waits up to timeout_ms; true when a stop was asked for.
  bool WaitForStop(DWORD timeout_ms) const { return running_->WaitUntilClear(timeout_ms); }
  // Waits up to timeout_ms for `work` or the stop; the stop wins a tie.
  FlagEvent::Wake WaitFor(HANDLE work, DWORD timeout_ms) const {
    return running_->WaitFor(work, timeout_ms);
  }

 private:
  const FlagEvent* running_;
};
