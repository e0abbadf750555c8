#include "base/urlpath.h"

#include <cstdint>
#include <cstring>

#include "base/utf8.h"

namespace {

// RFC 3986: unreserved characters, sub-delimiters, ":" and "@".
bool SafeInSegment(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != 0 && std::strchr("-._~!$&'()*+,;=:@", c) != nullptr;
}

std::string ToUtf8(const std::wstring& text) {
  std::string utf8;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t code = static_cast<uint32_t>(text[i]) & 0xFFFF;
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<uint32_t>(text[++i]) - 0xDC00);
    }
    AppendUtf8(code, utf8);
  }
  return utf8;
}

}  // namespace

std::string EscapePathSegments(const std::string& utf8_path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(utf8_path.size());
  for (const char c : utf8_path) {
    if (c == '/' || SafeInSegment(c)) {
      escaped += c;
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    escaped += '%';
    escaped += kHex[byte >> 4];
    escaped += kHex[byte & 0xF];
  }
  return escaped;
}

std::wstring EscapePathSegments(const std::wstring& path) {
  const std::string escaped = EscapePathSegments(ToUtf8(path));
  // ASCII only by now.
  return std::wstring(escaped.begin(), escaped.end());
}
