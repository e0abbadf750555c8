#include "app/progressreadout.h"

#include <algorithm>
#include <climits>
#include <cmath>

const wchar_t ProgressReadout::kLabels[] =
    L"Total size:\r\nDownloaded:\r\nSpeed:\r\nCompleted:\r\nTime left:\r\n";
const wchar_t ProgressReadout::kVerifying[] = L"Verifying setup files ";
const wchar_t ProgressReadout::kCopying[] = L"Copying downloaded files, please wait...\r\n";
const wchar_t ProgressReadout::kProcessing[] = L"Processing downloaded files, please wait...\r\n";

namespace {

// Counts are taken in thousands of bytes before dividing, so that the
// percent moves in the same steps as the published sizes.
double Ratio(uint64_t part_thousands, uint64_t total_bytes) {
  return static_cast<double>(part_thousands) / static_cast<double>(total_bytes / 1000) * 100.0;
}

int32_t Clamp100(int64_t percent) {
  return static_cast<int32_t>(std::clamp<int64_t>(percent, 0, 100));
}

}  // namespace

int32_t ProgressReadout::DownloadPercent(const DownloadProgress& counters) {
  const double ratio =
      Ratio(counters.bytes_done / 1000 + counters.bytes_in_progress / 1000, counters.total_bytes);
  // No total yet (or under 1000 bytes): the quotient has no value and the
  // phase logic sees "below 0".
  if (!std::isfinite(ratio) || ratio >= 2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(ratio);
}

int32_t ProgressReadout::VerifyPercent(const DownloadProgress& counters) {
  const double ratio = Ratio(counters.bytes_verified / 1000, counters.total_bytes);
  if (!std::isfinite(ratio)) return 0;
  return Clamp100(static_cast<int64_t>(std::min(ratio, 100.0)));
}

std::wstring ProgressReadout::FormatTimeLeft(uint64_t seconds) {
  return std::to_wstring(seconds / 3600) + L" h : " + std::to_wstring(seconds % 3600 / 60) +
         L" m : " + std::to_wstring(seconds % 60) + L" s";
}

Readout ProgressReadout::Compute(uint64_t speed, uint64_t total, uint64_t downloaded,
                                 const DownloadProgress& counters) {
  Readout readout;
  readout.labels = kLabels;

  if (counters.verifying) {
    const int32_t percent = VerifyPercent(counters);
    readout.labels = kVerifying + std::to_wstring(percent) + L"% completed";
    readout.show_labels = true;
    readout.bar = percent;
    return readout;
  }

  if (counters.merging) {
    // The manager keeps the merge progress in 64 bits; its low half is the
    // percent.
    const int32_t percent =
        Clamp100(static_cast<int32_t>(static_cast<uint32_t>(counters.merge_percent)));
    readout.labels = kCopying + std::to_wstring(percent) + L"% completed";
    readout.bar = percent;
    return readout;
  }

  const int32_t percent = DownloadPercent(counters);
  if (percent == 100) {
    readout.labels = kProcessing;
    readout.show_labels = true;
    readout.bar = 100;
    return readout;
  }

  // The counters may run past the total while the last parts arrive; the
  // read-out never claims more than the whole.
  const uint64_t shown_downloaded = std::min(downloaded, total);
  const int32_t shown_percent = Clamp100(percent);
  readout.show_pause = true;
  readout.show_values = true;
  readout.bar = shown_percent;
  readout.values = std::to_wstring(total >> 10) + L" kB" + L"\r\n" +
                   std::to_wstring(shown_downloaded >> 10) + L" kB" + L"\r\n" +
                   std::to_wstring(speed) + L" kB/s" + L"\r\n" + std::to_wstring(shown_percent) +
                   L" %";
  if (speed != 0) {
    const uint64_t remaining = total - shown_downloaded;
    readout.values += L"\r\n" + FormatTimeLeft((remaining >> 10) / speed);
  }
  return readout;
}
