#include "base/heldfileretry.h"

#include <algorithm>

#include "base/error.h"
#include "base/stringutils.h"

namespace {

constexpr char kModule[] = "filesystem";
constexpr DWORD kFirstPauseMs = 50;
constexpr DWORD kLongestPauseMs = 500;

}  // namespace

bool HeldFileRetry::IsHeld(DWORD error, bool own_file) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         (own_file && error == ERROR_ACCESS_DENIED);
}

bool HeldFileRetry::Retry(const std::wstring& operation, const std::wstring& path, bool own_file,
                          const StopToken* stop, const std::function<bool()>& attempt,
                          const Clock& clock) {
  if (attempt()) return true;
  DWORD error = ::GetLastError();
  if (!IsHeld(error, own_file)) return false;
  const DWORD first_error = error;
  const ULONGLONG started = clock();
  DWORD pause = kFirstPauseMs;
  bool done = false;
  for (;;) {
    const ULONGLONG waited = clock() - started;
    if (waited >= kPatienceMs) break;
    const DWORD wait = std::min<DWORD>(pause, static_cast<DWORD>(kPatienceMs - waited));
    if (stop != nullptr ? stop->WaitForStop(wait) : (::Sleep(wait), false)) break;
    pause = std::min(pause * 2, kLongestPauseMs);
    done = attempt();
    error = done ? 0 : ::GetLastError();
    if (done || !IsHeld(error, own_file)) break;
  }
  const std::wstring waited = std::to_wstring(clock() - started);
  if (done) {
    // Narrow, so that the debugger output shows it under Wine too.
    Error::LogMessage(
        StringUtils::ToNarrow(L"BusyFile: " + operation + L" " + path +
                              L": held by another program; waited " + waited + L" ms"),
        kModule, __LINE__);
  } else {
    Error::RecordError(L"BusyFile: " + operation + L" " + path +
                           L": held by another program; gave up after " + waited + L" ms",
                       first_error, kModule, __LINE__);
    ::SetLastError(error != 0 ? error : first_error);
  }
  return done;
}
