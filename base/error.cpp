#include "base/error.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iterator>

#include "base/errorcodes.h"
#include "base/errorlog.h"
#include "base/errortext.h"
#include "base/scopedhandle.h"
#include "base/stringutils.h"

namespace {

struct NameEntry {
  int32_t number;
  const char* name;
};

// Sorted by number. The WinINet names are the header's constant names;
// DL_MANAGER_ERRORS_RESOLVED deliberately has none.
constexpr NameEntry kNames[] = {
    {DL_MANAGER_MAX_ATTEMPTS_EXCEEDED, "DL_MANAGER_MAX_ATTEMPTS_EXCEEDED"},
    {DL_MANAGER_CRC_INCORRECT, "DL_MANAGER_CRC_INCORRECT"},
    {DL_MANAGER_WIN32_EXCEPTION, "DL_MANAGER_WIN32_EXCEPTION"},
    {DL_MANAGER_HTTP_STATUS_NOT_OK, "DL_MANAGER_HTTP_STATUS_NOT_OK"},
    {DL_MANAGER_EXECUTABLE_MISSING, "DL_MANAGER_EXECUTABLE_MISSING"},
    {DL_MANAGER_DELETED_OUTSIDE, "DL_MANAGER_DELETED_OUTSIDE"},
    {DL_MANAGER_RENAMED_OUTSIDE, "DL_MANAGER_RENAMED_OUTSIDE"},
    {12001, "ERROR_INTERNET_OUT_OF_HANDLES"},
    {12002, "ERROR_INTERNET_TIMEOUT"},
    {12003, "ERROR_INTERNET_EXTENDED_ERROR"},
    {12004, "ERROR_INTERNET_INTERNAL_ERROR"},
    {12005, "ERROR_INTERNET_INVALID_URL"},
    {12006, "ERROR_INTERNET_UNRECOGNIZED_SCHEME"},
    {12007, "ERROR_INTERNET_NAME_NOT_RESOLVED"},
    {12008, "ERROR_INTERNET_PROTOCOL_NOT_FOUND"},
    {12009, "ERROR_INTERNET_INVALID_OPTION"},
    {12010, "ERROR_INTERNET_BAD_OPTION_LENGTH"},
    {12011, "ERROR_INTERNET_OPTION_NOT_SETTABLE"},
    {12012, "ERROR_INTERNET_SHUTDOWN"},
    {12013, "ERROR_INTERNET_INCORRECT_USER_NAME"},
    {12014, "ERROR_INTERNET_INCORRECT_PASSWORD"},
    {12015, "ERROR_INTERNET_LOGIN_FAILURE"},
    {12016, "ERROR_INTERNET_INVALID_OPERATION"},
    {12017, "ERROR_INTERNET_OPERATION_CANCELLED"},
    {12018, "ERROR_INTERNET_INCORRECT_HANDLE_TYPE"},
    {12019, "ERROR_INTERNET_INCORRECT_HANDLE_STATE"},
    {12020, "ERROR_INTERNET_NOT_PROXY_REQUEST"},
    {12021, "ERROR_INTERNET_REGISTRY_VALUE_NOT_FOUND"},
    {12022, "ERROR_INTERNET_BAD_REGISTRY_PARAMETER"},
    {12023, "ERROR_INTERNET_NO_DIRECT_ACCESS"},
    {12024, "ERROR_INTERNET_NO_CONTEXT"},
    {12025, "ERROR_INTERNET_NO_CALLBACK"},
    {12026, "ERROR_INTERNET_REQUEST_PENDING"},
    {12027, "ERROR_INTERNET_INCORRECT_FORMAT"},
    {12028, "ERROR_INTERNET_ITEM_NOT_FOUND"},
    {12029, "ERROR_INTERNET_CANNOT_CONNECT"},
    {12030, "ERROR_INTERNET_CONNECTION_ABORTED"},
    {12031, "ERROR_INTERNET_CONNECTION_RESET"},
    {12032, "ERROR_INTERNET_FORCE_RETRY"},
    {12033, "ERROR_INTERNET_INVALID_PROXY_REQUEST"},
    {12034, "ERROR_INTERNET_NEED_UI"},
    {12036, "ERROR_INTERNET_HANDLE_EXISTS"},
    {12037, "ERROR_INTERNET_SEC_CERT_DATE_INVALID"},
    {12038, "ERROR_INTERNET_SEC_CERT_CN_INVALID"},
    {12039, "ERROR_INTERNET_HTTP_TO_HTTPS_ON_REDIR"},
    {12040, "ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR"},
    {12041, "ERROR_INTERNET_MIXED_SECURITY"},
    {12042, "ERROR_INTERNET_CHG_POST_IS_NON_SECURE"},
    {12043, "ERROR_INTERNET_POST_IS_NON_SECURE"},
    {12044, "ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED"},
    {12045, "ERROR_INTERNET_INVALID_CA"},
    {12046, "ERROR_INTERNET_CLIENT_AUTH_NOT_SETUP"},
    {12047, "ERROR_INTERNET_ASYNC_THREAD_FAILED"},
    {12048, "ERROR_INTERNET_REDIRECT_SCHEME_CHANGE"},
    {12049, "ERROR_INTERNET_DIALOG_PENDING"},
    {12050, "ERROR_INTERNET_RETRY_DIALOG"},
    {12052, "ERROR_INTERNET_HTTPS_HTTP_SUBMIT_REDIR"},
    {12053, "ERROR_INTERNET_INSERT_CDROM"},
    {12054, "ERROR_INTERNET_FORTEZZA_LOGIN_NEEDED"},
    {12055, "ERROR_INTERNET_SEC_CERT_ERRORS"},
    {12056, "ERROR_INTERNET_SEC_CERT_NO_REV"},
    {12057, "ERROR_INTERNET_SEC_CERT_REV_FAILED"},
    {12157, "ERROR_INTERNET_SECURITY_CHANNEL_ERROR"},
    {12158, "ERROR_INTERNET_UNABLE_TO_CACHE_FILE"},
    {12159, "ERROR_INTERNET_TCPIP_NOT_INSTALLED"},
    {12163, "ERROR_INTERNET_DISCONNECTED"},
    {12164, "ERROR_INTERNET_SERVER_UNREACHABLE"},
    {12165, "ERROR_INTERNET_PROXY_SERVER_UNREACHABLE"},
    {12166, "ERROR_INTERNET_BAD_AUTO_PROXY_SCRIPT"},
    {12167, "ERROR_INTERNET_UNABLE_TO_DOWNLOAD_SCRIPT"},
    {12169, "ERROR_INTERNET_SEC_INVALID_CERT"},
    {12170, "ERROR_INTERNET_SEC_CERT_REVOKED"},
    {12171, "ERROR_INTERNET_FAILED_DUETOSECURITYCHECK"},
    {12172, "ERROR_INTERNET_NOT_INITIALIZED"},
    {12173, "ERROR_INTERNET_NEED_MSN_SSPI_PKG"},
    {12174, "ERROR_INTERNET_LOGIN_FAILURE_DISPLAY_ENTITY_BODY"},
};

constexpr DWORD kAllocateFromSystem = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM;
constexpr DWORD kAllocateFromModule = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE;
constexpr DWORD kEnglishUs = 1033;

template <typename Char, typename Format>
std::basic_string<Char> FormatWith(Format format, DWORD flags, const void* source, uint32_t number,
                                   DWORD language) {
  Char* text = nullptr;
  const DWORD length = format(flags, source, number, language, reinterpret_cast<Char*>(&text), 0,
                              nullptr);
  UniqueLocalMemory owner(text);
  if (length == 0 || text == nullptr) return std::basic_string<Char>();
  return std::basic_string<Char>(text, length);
}

}  // namespace

std::string Error::GetErrorName(uint32_t number) {
  const int32_t value = static_cast<int32_t>(number);
  const auto* end = std::end(kNames);
  const auto* it = std::lower_bound(std::begin(kNames), end, value,
                                    [](const NameEntry& e, int32_t v) { return e.number < v; });
  return it != end && it->number == value ? it->name : "";
}

namespace errortext {

bool InNameRange(uint32_t number) {
  const int32_t value = static_cast<int32_t>(number);
  return (value >= 12000 && value <= 12174) ||
         (value >= DL_MANAGER_MAX_ATTEMPTS_EXCEEDED && value <= DL_MANAGER_RENAMED_OUTSIDE);
}

std::string Hex(uint32_t number) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%x", static_cast<unsigned>(number));
  return buffer;
}

std::string SystemText(uint32_t number) {
  for (DWORD language : {kEnglishUs, DWORD{0}}) {
    std::string text = FormatWith<char>(::FormatMessageA, kAllocateFromSystem, nullptr, number,
                                        language);
    if (!text.empty()) return text;
  }
  return std::string();
}

std::wstring SystemTextW(uint32_t number, bool try_wininet) {
  for (DWORD language : {kEnglishUs, DWORD{0}}) {
    std::wstring text = FormatWith<wchar_t>(::FormatMessageW, kAllocateFromSystem, nullptr,
                                            number, language);
    if (!text.empty()) return text;
  }
  if (try_wininet) {
    if (HMODULE wininet = ::GetModuleHandleW(L"wininet.dll")) {
      return FormatWith<wchar_t>(::FormatMessageW, kAllocateFromModule, wininet, number, 0);
    }
  }
  return std::wstring();
}

std::string Location(const std::string& file, int32_t line) {
  std::string text;
  if (!file.empty()) text += " File: " + file;
  if (line != 0) text += " Line: " + std::to_string(line);
  return text;
}

std::string TimeStamp() {
  __time64_t now = _time64(nullptr);
  struct tm local;
  if (_localtime64_s(&local, &now) != 0) return std::string();
  char buffer[256] = {};
  if (asctime_s(buffer, sizeof buffer, &local) != 0) return " At: ";
  return std::string(" At: ") + buffer;
}

}  // namespace errortext

std::wstring Error::FormatError(const std::wstring& message, uint32_t number,
                                const std::string& file, int32_t line) {
  const std::string narrow_message = StringUtils::ToNarrow(message);
  ScopedLock lock(ErrorLog::Lock());
  std::string text = narrow_message + " Error code: 0x" + errortext::Hex(number);
  if (number != 0) {
    const std::string system_text = StringUtils::ToNarrow(errortext::SystemTextW(number, false));
    if (!system_text.empty()) text += " Windows error message: " + system_text;
  }
  text += errortext::Location(file, line);
  return StringUtils::ToWide(text);
}
