#include "base/stringutils.h"

#include <algorithm>

namespace {

// Shared by both replacements. Every pass restarts at the beginning, as the
// callers expect; a replacement that contains the search text would never
// end that way, so it gets a single left-to-right pass instead.
template <typename Find>
std::wstring& Replace(std::wstring& text, const std::wstring& search,
                      const std::wstring& replacement, Find find) {
  if (search.empty()) return text;
  const bool restart = find(replacement, search, 0) == std::wstring::npos;
  for (size_t pos = find(text, search, 0); pos != std::wstring::npos;
       pos = find(text, search, restart ? 0 : pos + replacement.size())) {
    text.replace(pos, search.size(), replacement);
  }
  return text;
}

size_t FindExact(const std::wstring& text, const std::wstring& search, size_t from) {
  return text.find(search, from);
}

size_t FindFolded(const std::wstring& text, const std::wstring& search, size_t from) {
  const size_t pos = StringUtils::FindNoCase(text.substr(std::min(from, text.size())), search);
  return pos == std::wstring::npos ? pos : pos + from;
}

}  // namespace

std::wstring& StringUtils::ReplaceAll(std::wstring& text, const std::wstring& search,
                                      const std::wstring& replacement) {
  return Replace(text, search, replacement, FindExact);
}

std::wstring& StringUtils::ReplaceAllNoCase(std::wstring& text, const std::wstring& search,
                                            const std::wstring& replacement) {
  return Replace(text, search, replacement, FindFolded);
}

size_t StringUtils::FindNoCase(const std::wstring& text, const std::wstring& search) {
  auto fold = [](std::wstring s) {
    for (wchar_t& c : s) {
      if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return s;
  };
  return fold(text).find(fold(search));
}

uint32_t StringUtils::Split(const std::wstring& text, const std::wstring& separator,
                            std::vector<std::wstring>& pieces, bool keep_empty) {
  if (text.empty() || separator.empty()) return 0;
  std::vector<size_t> found;
  for (size_t pos = text.find(separator); pos != std::wstring::npos;
       pos = text.find(separator, pos + separator.size())) {
    found.push_back(pos);
  }
  if (found.empty()) return 0;

  size_t start = 0;
  auto add = [&](size_t end) {
    if (keep_empty || end > start) pieces.push_back(text.substr(start, end - start));
  };
  for (size_t pos : found) {
    add(pos);
    start = pos + separator.size();
  }
  add(text.size());
  return static_cast<uint32_t>(found.size());
}

std::wstring StringUtils::Join(const std::vector<std::wstring>& items,
                               const std::wstring& separator) {
  std::wstring result;
  for (const std::wstring& item : items) {
    if (!result.empty()) result += separator;
    result += item;
  }
  return result;
}

std::wstring StringUtils::GetFileName(const std::wstring& path) {
  std::wstring copy = path;
  ReplaceAll(copy, L"\\", L"/");
  const size_t slash = copy.rfind(L'/');
  return slash == std::wstring::npos ? std::wstring() : copy.substr(slash + 1);
}

void StringUtils::SplitUrl(const std::wstring& address, std::wstring& host, std::wstring& path,
                           int32_t& port, bool& secure) {
  secure = false;
  port = 80;
  std::wstring rest = address;
  if (FindNoCase(rest, L"https://") != std::wstring::npos) {
    secure = true;
    port = 443;
    ReplaceAllNoCase(rest, L"https://", L"");
  } else {
    ReplaceAllNoCase(rest, L"http://", L"");
  }
  ReplaceAll(rest, L"//", L"/");

  std::vector<std::wstring> pieces;
  if (Split(rest, L"/", pieces, false) == 0 || pieces.empty()) return;
  host = pieces.front();
  path.clear();
  if (pieces.size() >= 2) {
    pieces.erase(pieces.begin());
    path = Join(pieces, L"/");
  }
  ReplaceAll(path, host + L"/", L"");

  std::vector<std::wstring> colon_pieces;
  std::wstring digits;
  if (Split(rest, L":", colon_pieces, false) > 0 && !colon_pieces.empty()) {
    for (wchar_t c : colon_pieces.back()) {
      if (c < L'0' || c > L'9') break;
      digits += c;
    }
  }
  ReplaceAll(host, L":" + digits, L"");
  if (!digits.empty()) port = std::stoi(digits);
}

std::wstring StringUtils::UrlEncode(const std::wstring& text) {
  static const char kHex[] = "0123456789abcdef";
  std::wstring result;
  auto put_byte = [&](unsigned byte) {
    result += L'%';
    result += static_cast<wchar_t>(kHex[(byte >> 4) & 0xF]);
    result += static_cast<wchar_t>(kHex[byte & 0xF]);
  };
  for (wchar_t c : text) {
    const unsigned u = static_cast<unsigned>(c);
    if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9')) {
      result += c;
    } else if (u < 0x80) {
      put_byte(u);
    } else if (u < 0x800) {
      put_byte(0xC0 | (u >> 6));
      put_byte(0x80 | (u & 0x3F));
    } else {
      put_byte(0xE0 | (u >> 12));
      put_byte(0x80 | ((u >> 6) & 0x3F));
      put_byte(0x80 | (u & 0x3F));
    }
  }
  return result;
}
