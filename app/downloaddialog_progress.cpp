#include "app/downloaddialog.h"
#include "app/progressreadout.h"

void DownloadDialog::UpdateProgress(uint64_t speed, uint64_t total, uint64_t downloaded, uint64_t) {
  DownloadCounters counters;
  counters.verifying = download_manager.IsVerifying();
  counters.merging = download_manager.IsMerging();
  counters.total_bytes = download_manager.TotalBytes();
  counters.bytes_done = download_manager.BytesDone();
  counters.bytes_in_progress = download_manager.BytesInProgress();
  counters.bytes_verified = download_manager.BytesVerified();
  counters.merge_percent = download_manager.MergePercent();
  DialogControls(window.Get())
      .Apply(ProgressReadout::Compute(speed, total, downloaded, counters), tips.Advance());
}
