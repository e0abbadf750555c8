#pragma once

#include <windows.h>

#include <atomic>

#include "base/criticalsection.h"
#include "base/scopedhandle.h"

// A boolean flag together with a manual-reset event that is signalled
// exactly while the flag is clear. Reading the flag tells a loop whether to
// go on; the event lets a thread wait for its work and for the flag to clear
// in one WaitForMultipleObjects, instead of testing the flag between sleeps.
// A thread's running flag is one (its event is the stop event), a worker's
// paused flag another (its event means "not paused"). load and store read
// like those of std::atomic<bool>.
class FlagEvent {
 public:
  FlagEvent() = default;
  FlagEvent(const FlagEvent&) = delete;
  FlagEvent& operator=(const FlagEvent&) = delete;

  bool load(std::memory_order order = std::memory_order_seq_cst) const { return flag_.load(order); }

  void store(bool value, std::memory_order order = std::memory_order_seq_cst) {
    // Flag and event change together: two stores that cross must not leave
    // the flag clear with the event reset.
    ScopedLock lock(lock_);
    flag_.store(value, order);
    if (value) {
      ::ResetEvent(clear_.Get());
    } else {
      ::SetEvent(clear_.Get());
    }
  }

  // Signalled while the flag is clear.
  HANDLE ClearedEvent() const { return clear_.Get(); }

  // Waits up to timeout_ms; true when the flag is (or becomes) clear.
  bool WaitUntilClear(DWORD timeout_ms) const {
    return ::WaitForSingleObject(clear_.Get(), timeout_ms) == WAIT_OBJECT_0;
  }

  // Waits up to timeout_ms for `work` or for the flag to clear; a clear flag
  // wins when both are signalled.
  enum class Wake { kWork, kClear, kTimeout };
  Wake WaitFor(HANDLE work, DWORD timeout_ms) const {
    const HANDLE handles[] = {clear_.Get(), work};
    switch (::WaitForMultipleObjects(2, handles, FALSE, timeout_ms)) {
      case WAIT_OBJECT_0 + 1:
        return Wake::kWork;
      case WAIT_TIMEOUT:
        return Wake::kTimeout;
      default:
        // Also a failed wait (an invalid handle): waiting again would fail
        // at once, for ever.
        return Wake::kClear;
    }
  }

 private:
  std::atomic<bool> flag_{false};
  UniqueHandle clear_{::CreateEventW(nullptr, TRUE, TRUE, nullptr)};
  CriticalSection lock_;
};
