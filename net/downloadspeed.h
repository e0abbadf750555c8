#pragma once

#include <cstdint>
#include <functional>

#include "base/orvthread.h"

// The download's byte counters and whether it is merging its parts, taken
// at one moment so that the figures of one report belong together.
struct SpeedFigures {
  uint64_t total_bytes = 0;
  uint64_t bytes_done = 0;
  uint64_t bytes_in_progress = 0;
  uint64_t bytes_reused = 0;
  bool merging = false;
};

// What the speed meter reads, once per report. Implemented above this layer,
// over the download manager's progress (app/managerspeedsource.h).
class ISpeedSource {
 public:
  virtual SpeedFigures Figures() const = 0;

 protected:
  ~ISpeedSource() = default;
};

// Where the speed meter reports: the progress read-out, which also knows
// whether the user has paused the download.
class ISpeedView {
 public:
  // speed in kB/s (1 kB = 1024 bytes), total and downloaded in bytes,
  // elapsed in seconds.
  virtual void UpdateProgress(uint64_t speed, uint64_t total, uint64_t downloaded,
                              uint64_t elapsed) = 0;
  virtual bool IsPaused() const = 0;

 protected:
  ~ISpeedView() = default;
};

// The clock of the progress read-out: every 2 seconds it reports the
// average speed since the download started, leaving out the time spent
// paused or merging and the bytes found complete on disk.
class DownloadSpeed : public Orv_Thread {
 public:
  // Milliseconds from an arbitrary origin; tests pass their own.
  using Clock = std::function<uint64_t()>;

  static constexpr uint64_t kReportIntervalMs = 2000;

  DownloadSpeed(const ISpeedSource* source, ISpeedView* view, Clock clock = SystemClock());
  ~DownloadSpeed() override;

  // The measuring loop in steps, so that tests can drive it with their own
  // times: Begin reports zeros and starts counting at `now`; Measure
  // reports when 2 seconds have passed since the last report and returns
  // whether it did; End reports zeros.
  void Begin(uint64_t now);
  bool Measure(uint64_t now);
  void End();

  static Clock SystemClock();

 protected:
  void Run() override;

 private:
  const ISpeedSource* source_;
  ISpeedView* view_;
  Clock clock_;
  uint64_t base_ = 0;
  uint64_t previous_ = 0;
};
