#include "tools/logservice/outcome.h"

#include "base/errorcodes.h"

namespace {

// Windows codes of a write that found no room or no permission.
constexpr int32_t kDiskFull = 112;
constexpr int32_t kHandleDiskFull = 39;
constexpr int32_t kAccessDenied = 5;
constexpr int32_t kWriteFault = 29;
// TRUST_E_FAIL: the downloaded setup's signature was refused and the
// setup was not started.
constexpr int32_t kSetupNotTrusted = static_cast<int32_t>(0x800B010Bu);

bool Has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

bool IsSaveFailure(const LogRecord& r) {
  return r.number == kDiskFull || r.number == kHandleDiskFull || r.number == kWriteFault ||
         Has(r.message, "not enough free space") || Has(r.message, "Unable to write") ||
         (r.number == kAccessDenied && Has(r.message, "Unable to create"));
}

}  // namespace

std::string ClassifyOutcome(const std::vector<LogRecord>& records) {
  bool gave_up = false, save = false, setup = false, malfunction = false;
  for (const LogRecord& r : records) {
    // The ends that tell the user why, most specific first.
    if (Has(r.message, "can no longer be downloaded")) return "withdrawn";
    if (Has(r.message, "the release is incomplete")) return "incomplete";
    if (r.number == DL_MANAGER_EXECUTABLE_MISSING || Has(r.message, "Unable to start setup") ||
        (r.number == kSetupNotTrusted && Has(r.message, " is not started: "))) {
      setup = true;
    }
    if (IsSaveFailure(r)) save = true;
    if (r.number == DL_MANAGER_MAX_ATTEMPTS_EXCEEDED) gave_up = true;
    if (r.number == DL_MANAGER_WIN32_EXCEPTION) malfunction = true;
  }
  if (setup) return "setup";
  // Writes that keep failing end in the give-up too; the cause is the disk.
  if (save) return "save_failure";
  if (gave_up) return "gave_up";
  if (malfunction) return "other";
  return "closed";
}
