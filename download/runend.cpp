#include "download/runend.h"

#include <windows.h>

#include <cstdint>

#include "base/errorcodes.h"

namespace {

// WinINet's own error numbers (ERROR_INTERNET_*, ERROR_HTTP_*).
constexpr int64_t kInternetErrorFirst = 12000;
constexpr int64_t kInternetErrorLast = 12999;

}  // namespace

RunEnd ClassifyGiveUp(const nlohmann::json& log, bool proxy_refused) {
  // The proxy asked for a sign-in nobody gave: nothing else got through.
  if (proxy_refused) return RunEnd::kProxySignIn;
  RunEnd end = RunEnd::kFailed;
  if (!log.is_array()) return end;
  for (const nlohmann::json& record : log) {
    const auto number = record.find("error_number");
    if (number == record.end() || !number->is_number_integer()) continue;
    const int64_t value = number->get<int64_t>();
    if (value == DL_MANAGER_HTTP_STATUS_NOT_OK) {
      end = RunEnd::kHostRefused;
    } else if (value >= kInternetErrorFirst && value <= kInternetErrorLast) {
      end = RunEnd::kNetwork;
    } else if (value == DL_MANAGER_CRC_INCORRECT) {
      // Bytes damaged on the way: the network's doing far more often than
      // the host's.
      end = RunEnd::kNetwork;
    } else if (value == ERROR_DISK_FULL || value == ERROR_HANDLE_DISK_FULL) {
      end = RunEnd::kNotSaved;
    }
  }
  return end;
}
