#pragma once

#include <cstdint>
#include <vector>

// A part of the run as the scheduler sees it at one moment.
struct PartView {
  uint64_t size = 0;
  bool started = false;
  // Ended, and its bytes moved from in progress to done.
  bool done = false;
  // Its worker is reading (neither ended nor failed).
  bool receiving = false;
  // Bytes of the current attempt.
  uint64_t received = 0;
  // When it started, on the caller's clock (ms).
  uint64_t started_at = 0;
};

// How many parts of a run are fetched at once, each on its own connection:
// the policy of the chain of workers, apart from its threads. It reads no
// clock and no worker: the caller hands in the time (ms, any steady clock)
// and what the parts have done, so every rule can be tried on made-up runs.
//
// - The connections open one after another, the next once kRampBytes more
//   have arrived on those open: connections that all start at once overflow
//   the line's queue together at the end of their slow starts.
// - A host that pushes back (a 503, a reset) gets half as many for
//   kFallbackMs; then one more after each part that ends.
// - Near the end of the run, a connection whose part has ended is left idle
//   when the parts left would all be in a good while sooner without it.
class PartScheduler {
 public:
  static constexpr uint64_t kFallbackMs = 30000;
  static constexpr uint64_t kRampBytes = 1000000;
  // A connection is left idle only when that ends the run this much sooner:
  // paces swing on a lossy line, and a small gain is no gain.
  static constexpr double kWorthMs = 1000;

  explicit PartScheduler(int in_flight);

  // A new run: one connection, opened one after another again.
  void Begin();

  // How many parts may run at once now.
  int Allowed() const;

  // The bytes the parts still running have received.
  void SetInProgress(uint64_t bytes) { in_progress_bytes = bytes; }
  // One more connection once enough has arrived on those open; true when
  // one more may run.
  bool Ramp();
  // The host pushed back at `now`: the new number when it fell, 0 when it
  // stays.
  int PushedBack(uint64_t now);

  // What the scheduler made of an ended part.
  struct Ended {
    // Its connection is left idle for the rest of the run.
    bool held = false;
    // When the parts left would all be in, without and with it (ms from
    // now), when that was weighed.
    double without_ms = 0;
    double with_ms = 0;
  };
  // Part `ended` of `parts` ended at `now`, having received `received`
  // bytes. `bytes_to_come`: the size of the files whose parts are not in
  // `parts` yet, at most (some may be on disk already).
  Ended PartEnded(uint64_t now, const std::vector<PartView>& parts, size_t ended, uint64_t received,
                  uint64_t bytes_to_come);

 private:
  // Whether the connection of `ended` is better left idle, as above.
  Ended WeighHold(uint64_t now, const std::vector<PartView>& parts, size_t ended,
                  uint64_t bytes_to_come) const;

  const int in_flight;
  int limit = 1;
  // Until then the limit stays down after a push-back.
  uint64_t fallback_until = 0;
  // The run's connections are still being opened one after another.
  bool ramping = true;
  // Connections left idle near the end of this run, taken off the limit.
  int held = 0;
  // Bytes received in this run: the parts that ended, and those in flight.
  uint64_t ended_bytes = 0;
  uint64_t in_progress_bytes = 0;
};
