#pragma once

#include <cstdint>

// The program's own error numbers: negative, just above the smallest 16-bit
// value, so that they never collide with system or WinINet codes.
enum DlManagerError : int32_t {
  DL_MANAGER_NO_ERROR = -32768,
  DL_MANAGER_MAX_ATTEMPTS_EXCEEDED = -32767,
  DL_MANAGER_CRC_INCORRECT = -32766,
  DL_MANAGER_WIN32_EXCEPTION = -32765,
  DL_MANAGER_HTTP_STATUS_NOT_OK = -32764,
  DL_MANAGER_ERRORS_RESOLVED = -32763,
  DL_MANAGER_EXECUTABLE_MISSING = -32762,
  DL_MANAGER_DELETED_OUTSIDE = -32761,
  DL_MANAGER_RENAMED_OUTSIDE = -32760,
};
