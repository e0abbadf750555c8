#pragma once

#include <windows.h>

#include "base/flagevent.h"
#include "base/stoptoken.h"

// The stop and the pause of one transfer, in one object shared by everything
// that works on it: the chain that runs the workers, each worker, its
// connection and the reads on the connection's call thread. Both are
// waitable, so nothing polls: every thread sees a stop or a pause within
// milliseconds. Held through shared_ptr, since a read abandoned for a stop
// may outlive its worker and still asks whether to go on.
class TransferContext {
 public:
  TransferContext() { running_.store(true, std::memory_order_relaxed); }
  TransferContext(const TransferContext&) = delete;
  TransferContext& operator=(const TransferContext&) = delete;

  void RequestStop() { running_.store(false, std::memory_order_relaxed); }
  bool StopRequested() const { return !running_.load(std::memory_order_relaxed); }
  // For waits that must end with the stop.
  StopToken Token() const { return StopToken(running_); }

  void SetPaused(bool paused) { paused_.store(paused, std::memory_order_relaxed); }
  bool IsPaused() const { return paused_.load(std::memory_order_relaxed); }
  // Signalled while not paused.
  HANDLE ResumeEvent() const { return paused_.ClearedEvent(); }

  // Returns once not paused; false when the stop came first.
  bool WaitWhilePaused() const {
    while (IsPaused()) {
      if (Token().WaitFor(ResumeEvent(), INFINITE) != FlagEvent::Wake::kWork) return false;
    }
    return !StopRequested();
  }

 private:
  FlagEvent running_;
  FlagEvent paused_;
};
