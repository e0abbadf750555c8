#include "download/downloadspeed.h"

#include <windows.h>

#include <utility>

DownloadSpeed::DownloadSpeed(Progress progress, ISpeedView* view, Clock clock)
    : progress_(std::move(progress)), view_(view), clock_(std::move(clock)) {}

DownloadSpeed::~DownloadSpeed() {
  // Run reads progress_ and view_; stop before they go.
  Stop(INFINITE);
}

void DownloadSpeed::Begin(uint64_t now) {
  base_ = now;
  previous_ = now;
  view_->UpdateProgress(0, 0, 0, 0);
}

bool DownloadSpeed::Measure(uint64_t now) {
  const uint64_t interval = now - previous_;
  if (now < previous_ || interval < kReportIntervalMs) return false;

  const DownloadProgress figures = progress_();
  const uint64_t counted = figures.bytes_in_progress + figures.bytes_done;
  // A reused count above the rest must not wrap into an absurd speed.
  const uint64_t transferred = counted > figures.bytes_reused ? counted - figures.bytes_reused : 0;

  const bool paused = view_->IsPaused();
  // An interval that ends paused or merging is not download time.
  if (paused || figures.merging) base_ += interval;

  uint64_t elapsed = (now - base_) / 1000;
  if (elapsed == 0) elapsed = 1;
  const uint64_t speed = paused ? 0 : (transferred >> 10) / elapsed;

  view_->UpdateProgress(speed, figures.total_bytes, counted, elapsed);
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
