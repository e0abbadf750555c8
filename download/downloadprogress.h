#pragma once

#include <atomic>
#include <cstdint>

// The counters and phase flags of a run as one value, taken at one moment:
// everyone who shows progress reads one of these per repaint, so that the
// figures of one repaint belong together.
struct DownloadProgress {
  uint64_t total_bytes = 0;
  uint64_t bytes_done = 0;
  uint64_t bytes_in_progress = 0;
  uint64_t bytes_verified = 0;
  uint64_t bytes_reused = 0;
  uint64_t merge_percent = 0;
  bool merging = false;
  bool verifying = false;
};

// The live counters, written by the run's and the workers' threads and read
// from any thread through Snapshot.
class ProgressCounters {
 public:
  DownloadProgress Snapshot() const {
    DownloadProgress progress;
    progress.total_bytes = total_bytes.load(std::memory_order_relaxed);
    progress.bytes_done = bytes_done.load(std::memory_order_relaxed);
    progress.bytes_in_progress = bytes_in_progress.load(std::memory_order_relaxed);
    progress.bytes_verified = bytes_verified.load(std::memory_order_relaxed);
    progress.bytes_reused = bytes_reused.load(std::memory_order_relaxed);
    progress.merge_percent = merge_percent.load(std::memory_order_relaxed);
    progress.merging = merging.load(std::memory_order_relaxed);
    progress.verifying = verifying.load(std::memory_order_relaxed);
    return progress;
  }

  // Never below 0: a file found wrong may be taken out after the counters
  // were reset.
  void SubtractDone(uint64_t bytes) {
    uint64_t done = bytes_done.load(std::memory_order_relaxed);
    while (!bytes_done.compare_exchange_weak(done, done > bytes ? done - bytes : 0,
                                             std::memory_order_relaxed)) {
    }
  }

  std::atomic<uint64_t> total_bytes{0};
  std::atomic<uint64_t> bytes_done{0};
  std::atomic<uint64_t> bytes_in_progress{0};
  std::atomic<uint64_t> bytes_verified{0};
  std::atomic<uint64_t> bytes_reused{0};
  std::atomic<uint64_t> merge_percent{0};
  std::atomic<bool> merging{false};
  std::atomic<bool> verifying{false};
};
