#pragma once

#include <cstdint>
#include <string>

#include "download/downloadprogress.h"

// What the progress controls show after one update. A label column that is
// not to be shown is left as it is, never hidden.
struct Readout {
  std::wstring labels;
  std::wstring values;
  bool show_labels = false;
  bool show_values = false;
  bool show_pause = false;
  int bar = 0;
};

// Turns the speed meter's numbers and the manager's counters into the texts
// of the read-out: the phase (downloading, processing, verifying, copying),
// the label column, the values column and the bar position.
class ProgressReadout {
 public:
  static const wchar_t kLabels[];
  static const wchar_t kVerifying[];
  static const wchar_t kCopying[];
  static const wchar_t kProcessing[];

  // speed in kB/s, total and downloaded in bytes, as the speed meter passes
  // them.
  static Readout Compute(uint64_t speed, uint64_t total, uint64_t downloaded,
                         const DownloadProgress& counters);

  // Whole percent of the download from the counters; below 0 when the total
  // is under 1000 bytes. Can exceed 100 because a file's last part is
  // counted as a full part.
  static int32_t DownloadPercent(const DownloadProgress& counters);
  // Whole percent of the verification pass, 0 to 100.
  static int32_t VerifyPercent(const DownloadProgress& counters);
  // "h h : m m : s s" for a number of seconds.
  static std::wstring FormatTimeLeft(uint64_t seconds);
};
