#pragma once

#include <windows.h>

#include <atomic>

#include "base/flagevent.h"
#include "base/stoptoken.h"

// The stop of one run, made once and shared by everything that works for
// it: the run's own thread, the fetch of the CRC info, the chain of
// workers, each worker, its connection and the reads on its call thread,
// the part store and the setup start. Waitable (Token), so that nothing
// polls and every thread sees it within milliseconds. Held through
// shared_ptr, since a read abandoned for the stop may outlive its worker and
// still asks whether to go on. Once requested it stays: a run that was
// stopped is over.
class RunStop {
 public:
  RunStop() { running_.store(true, std::memory_order_relaxed); }
  RunStop(const RunStop&) = delete;
  RunStop& operator=(const RunStop&) = delete;

  void Request() { running_.store(false, std::memory_order_relaxed); }
  bool Requested() const { return !running_.load(std::memory_order_relaxed); }
  // For waits that must end with the stop.
  StopToken Token() const { return StopToken(running_); }

 private:
  FlagEvent running_;
};

// The user's pause of the parts being fetched. Only the parts hold for it:
// the CRC info is fetched whatever the pause. Shared like the stop.
class RunPause {
 public:
  RunPause() = default;
  RunPause(const RunPause&) = delete;
  RunPause& operator=(const RunPause&) = delete;

  void Set(bool paused) { paused_.store(paused, std::memory_order_relaxed); }
  bool IsPaused() const { return paused_.load(std::memory_order_relaxed); }
  // Signalled while not paused.
  HANDLE ResumeEvent() const { return paused_.ClearedEvent(); }

  // Returns once not paused; false when `stop` came first.
  bool WaitWhilePaused(const StopToken& stop) const {
    holding_.fetch_add(1, std::memory_order_relaxed);
    bool stopped = false;
    while (!stopped && IsPaused()) {
      stopped = stop.WaitFor(ResumeEvent(), INFINITE) != FlagEvent::Wake::kWork;
    }
    holding_.fetch_sub(1, std::memory_order_relaxed);
    return !stopped && !stop.StopRequested();
  }
  // The threads inside WaitWhilePaused right now: with every part held, the
  // run fetches nothing until the resume.
  int Holding() const { return holding_.load(std::memory_order_relaxed); }

 private:
  FlagEvent paused_;
  mutable std::atomic<int> holding_{0};
};
