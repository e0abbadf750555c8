#pragma once

#include "download/downloadmanager.h"
#include "net/downloadspeed.h"

// Lets the speed meter, which knows nothing of the download layer, read the
// download manager's counters, each from a snapshot of the run's progress.
class ManagerSpeedSource : public ISpeedSource {
 public:
  explicit ManagerSpeedSource(const DownloadManager& manager) : manager_(manager) {}

  uint64_t TotalBytes() const override { return manager_.Progress().total_bytes; }
  uint64_t BytesDone() const override { return manager_.Progress().bytes_done; }
  uint64_t BytesInProgress() const override { return manager_.Progress().bytes_in_progress; }
  uint64_t BytesReused() const override { return manager_.Progress().bytes_reused; }
  bool IsMerging() const override { return manager_.Progress().merging; }

 private:
  const DownloadManager& manager_;
};
