#pragma once

#include <windows.h>

#include <string>

#include "base/clock.h"
#include "base/scopedhandle.h"

// One run of a release per user session: two starts of the same release
// would download into the same folders. The first start takes a named
// mutex; a later one brings the first one's window to the front and ends.
class SingleRun {
 public:
  // How long a later start looks for the first one's window, or waits for
  // it to end (its window is hidden while it starts and while it closes).
  static constexpr DWORD kWaitForFirstMs = 15000;

  SingleRun() = default;
  ~SingleRun();
  SingleRun(const SingleRun&) = delete;
  SingleRun& operator=(const SingleRun&) = delete;

  // True when this process may run the release; false when another one has
  // it (its window has been brought to the front, if it showed one).
  bool Take(const std::wstring& release_name, const std::wstring& window_caption,
            const Clock& clock = SystemClock());

  static std::wstring MutexName(const std::wstring& release_name);

 private:
  UniqueHandle mutex;
  bool owned = false;
};
