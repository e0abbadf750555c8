#include "app/downloaddialog.h"
#include "app/progressreadout.h"

void DownloadDialog::UpdateProgress(uint64_t speed, uint64_t total, uint64_t downloaded, uint64_t) {
  const Readout readout =
      ProgressReadout::Compute(speed, total, downloaded, download_manager.Progress());
  events.PostLatest([this, readout] { ShowReadout(readout); });
}

void DownloadDialog::ShowReadout(const Readout& readout) {
  if (failed) return;
  DialogControls(window.Get()).Apply(readout, tips.Advance());
}
