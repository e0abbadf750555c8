#include "net/downloadspeed.h"

#include <windows.h>

DownloadSpeed::DownloadSpeed(const ISpeedSource* source, ISpeedView* view, Clock clock)
    : source_(source), view_(view), clock_(std::move(clock)) {}

DownloadSpeed::~DownloadSpeed() {
  // Run reads source_ and view_; stop before they go.
  Stop(INFINITE);
}

DownloadSpeed::Clock DownloadSpeed::SystemClock() {
  // The 64-bit tick count: the 32-bit one wraps after 49.7 days, which would
  // turn the elapsed time of a long-running session into nonsense.
  return [] { return static_cast<uint64_t>(::GetTickCount64()); };
}

void DownloadSpeed::Begin(uint64_t now) {
  base_ = now;
  previous_ = now;
  view_->UpdateProgress(0, 0, 0, 0);
}

bool DownloadSpeed::Measure(uint64_t now) {
  const uint64_t interval = now - previous_;
  if (now < previous_ || interval < kReportIntervalMs) return false;

  const uint64_t counted = source_->BytesInProgress() + source_->BytesDone();
  const uint64_t reused = source_->BytesReused();
  // The counters are read one by one while workers move them; a reused
  // count above the rest must not wrap into an absurd speed.
  const uint64_t transferred = counted > reused ? counted - reused : 0;

  const bool paused = view_->IsPaused();
  // An interval that ends paused or merging is not download time.
  if (paused || source_->IsMerging()) base_ += interval;

  uint64_t elapsed = (now - base_) / 1000;
  if (elapsed == 0) elapsed = 1;
  const uint64_t speed = paused ? 0 : (transferred >> 10) / elapsed;

  view_->UpdateProgress(speed, source_->TotalBytes(),
                        source_->BytesInProgress() + source_->BytesDone(), elapsed);
  previous_ = now;
  return true;
}

void DownloadSpeed::End() { view_->UpdateProgress(0, 0, 0, 0); }

void DownloadSpeed::Run() {
  Begin(clock_());
  for (;;) {
    const uint64_t now = clock_();
    Measure(now);
    // Until the next report is due; a stop ends the wait at once.
    const uint64_t since = now >= previous_ ? now - previous_ : 0;
    const uint64_t wait = since < kReportIntervalMs ? kReportIntervalMs - since : 0;
    if (WaitForStop(static_cast<DWORD>(wait))) break;
  }
  End();
}
