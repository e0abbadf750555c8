#pragma once

#include "download/downloadmanager.h"
#include "net/downloadspeed.h"

// Lets the speed meter, which knows nothing of the download layer, read the
// download manager's counters.
class ManagerSpeedSource : public ISpeedSource {
 public:
  explicit ManagerSpeedSource(const DownloadManager& manager) : manager_(manager) {}

  uint64_t TotalBytes() const override { return manager_.TotalBytes(); }
  uint64_t BytesDone() const override { return manager_.BytesDone(); }
  uint64_t BytesInProgress() const override { return manager_.BytesInProgress(); }
  uint64_t BytesReused() const override { return manager_.BytesReused(); }
  bool IsMerging() const override { return manager_.IsMerging(); }

 private:
  const DownloadManager& manager_;
};
