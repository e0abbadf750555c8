#include "app/downloaddialog.h"
#include "app/progressreadout.h"

void DownloadDialog::UpdateProgress(uint64_t speed, uint64_t total, uint64_t downloaded, uint64_t) {
  DialogControls(window.Get())
      .Apply(ProgressReadout::Compute(speed, total, downloaded, download_manager.Progress()),
             tips.Advance());
}
