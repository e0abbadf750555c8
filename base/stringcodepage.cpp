#include "base/stringutils.h"

#include <windows.h>

// The conversions between the system's ANSI code page and UTF-16; the
// native tools have their own in stringcodepage_posix.cpp.

std::wstring StringUtils::ToWide(const std::string& text) {
  if (text.empty()) return std::wstring();
  // No ANSI byte yields more than one UTF-16 unit, so the input's length is
  // always room enough.
  const int length = static_cast<int>(text.size());
  std::wstring buffer(text.size(), L'\0');
  const int written = ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, &buffer[0], length);
  buffer.resize(written > 0 ? written : 0);
  return buffer.substr(0, buffer.find(L'\0'));
}

std::string StringUtils::ToNarrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  // A multi-byte code page (a double-byte one, or UTF-8) needs more bytes than
  // units; ask for the size so no path is ever cut short.
  const int length = static_cast<int>(text.size());
  const int needed =
      ::WideCharToMultiByte(CP_ACP, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string buffer(static_cast<size_t>(needed), '\0');
  const int written =
      ::WideCharToMultiByte(CP_ACP, 0, text.data(), length, &buffer[0], needed, nullptr, nullptr);
  buffer.resize(written > 0 ? written : 0);
  return buffer.substr(0, buffer.find('\0'));
}
