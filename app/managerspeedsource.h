#pragma once

#include "download/downloadmanager.h"
#include "net/downloadspeed.h"

// Lets the speed meter, which knows nothing of the download layer, read the
// download manager's counters, all from one snapshot of the run's progress.
class ManagerSpeedSource : public ISpeedSource {
 public:
  explicit ManagerSpeedSource(const DownloadManager& manager) : manager_(manager) {}

  SpeedFigures Figures() const override {
    const DownloadProgress progress = manager_.Progress();
    SpeedFigures figures;
    figures.total_bytes = progress.total_bytes;
    figures.bytes_done = progress.bytes_done;
    figures.bytes_in_progress = progress.bytes_in_progress;
    figures.bytes_reused = progress.bytes_reused;
    figures.merging = progress.merging;
    return figures;
  }

 private:
  const DownloadManager& manager_;
};
