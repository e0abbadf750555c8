#include "base/stringutils.h"

// The native tools' conversions: byte for unit (ISO 8859-1). The tools only
// pass ASCII names on to the program, and in ASCII every ANSI code page
// agrees with this.

std::wstring StringUtils::ToWide(const std::string& text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (const char c : text) {
    if (c == '\0') break;
    wide += static_cast<wchar_t>(static_cast<unsigned char>(c));
  }
  return wide;
}

std::string StringUtils::ToNarrow(const std::wstring& text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (const wchar_t c : text) {
    if (c == L'\0') break;
    narrow += c > 0xFF ? '?' : static_cast<char>(c);
  }
  return narrow;
}
