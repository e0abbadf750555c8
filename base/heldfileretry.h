#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "base/clock.h"
#include "base/stoptoken.h"

// Security software opens each new file for a moment, often without
// sharing, and may hold it for seconds. An operation on a file of ours that
// meets a sharing or lock violation (or, where `own_file`, access denied:
// the file was written by us, so a refusal is someone else's hold) is tried
// again with a short back-off for up to about 10 s before it counts as a
// failure. A wait is logged once per file, not per try.
class HeldFileRetry {
 public:
  static constexpr DWORD kPatienceMs = 10000;

  static bool IsHeld(DWORD error, bool own_file);

  // Runs `attempt` (true on success, the system's error set otherwise)
  // until it succeeds, fails for another reason, the patience runs out or
  // the stop comes; returns its last result with its error as the last
  // error. `operation` and `path` name the wait in the log; `clock` times
  // the patience.
  static bool Retry(const std::wstring& operation, const std::wstring& path, bool own_file,
                    const StopToken* stop, const std::function<bool()>& attempt,
                    const Clock& clock = SystemClock());
};
