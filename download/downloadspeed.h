#pragma once

#include <cstdint>
#include <functional>

#include "base/clock.h"
#include "base/orvthread.h"
#include "download/downloadprogress.h"

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
  // The run's progress at one moment (DownloadManager::Progress), read once
  // per report so that the figures of one report belong together.
  using Progress = std::function<DownloadProgress()>;

  static constexpr uint64_t kReportIntervalMs = 2000;

  DownloadSpeed(Progress progress, ISpeedView* view, Clock clock = SystemClock());
  ~DownloadSpeed() override;

  // The measuring loop in steps, so that tests can drive it with their own
  // times: Begin reports zeros and starts counting at `now`; Measure
  // reports when 2 seconds have passed since the last report and returns
  // whether it did; End reports zeros.
  void Begin(uint64_t now);
  bool Measure(uint64_t now);
  void End();

 protected:
  void Run() override;
  std::wstring ThreadName() const override { return L"Veltra speed meter"; }

 private:
  Progress progress_;
  ISpeedView* view_;
  Clock clock_;
  uint64_t base_ = 0;
  uint64_t previous_ = 0;
};
