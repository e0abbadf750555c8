#include "net/redirect.h"

#include <cwctype>

#include "base/httpstatus.h"

namespace {

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& start) {
  return text.size() >= start.size() && EqualNoCase(text.substr(0, start.size()), start);
}

// A path that WinINet would send as given: no blanks or control characters.
bool UsablePath(const std::wstring& path) {
  if (path.empty() || path[0] != L'/') return false;
  for (wchar_t c : path) {
    if (c <= L' ' || c == 0x7F) return false;
  }
  return true;
}

}  // namespace

bool Redirect::IsRedirectStatus(unsigned status) {
  return status == kHttpMovedPermanently || status == kHttpFound || status == kHttpSeeOther ||
         status == kHttpTemporaryRedirect || status == kHttpPermanentRedirect;
}

bool Redirect::SameHostTarget(const std::wstring& location, const std::wstring& host,
                              const std::wstring& current_object, std::wstring& object) {
  object.clear();
  if (location.empty()) return false;
  const std::wstring scheme = L"https://";
  if (StartsWithNoCase(location, scheme)) {
    const size_t authority_end = location.find_first_of(L"/?#", scheme.size());
    const std::wstring authority = location.substr(
        scheme.size(),
        authority_end == std::wstring::npos ? std::wstring::npos : authority_end - scheme.size());
    std::wstring name = authority;
    const size_t colon = authority.find(L':');
    if (colon != std::wstring::npos) {
      name = authority.substr(0, colon);
      if (authority.substr(colon + 1) != L"443") return false;
    }
    // "user@host" among others: only the bare host name passes.
    if (!EqualNoCase(name, host)) return false;
    object = authority_end == std::wstring::npos ? L"/" : location.substr(authority_end);
    if (object[0] != L'/') object.insert(0, L"/");
  } else if (location[0] == L'/') {
    // "//other.host/..." names another host with this scheme.
    if (location.size() > 1 && location[1] == L'/') return false;
    object = location;
  } else if (location.find(L':') != std::wstring::npos &&
             location.find(L':') < location.find_first_of(L"/?#")) {
    // Another scheme ("http:", "ftp:", ...).
    return false;
  } else {
    const std::wstring current_path = current_object.substr(0, current_object.find(L'?'));
    object = current_path.substr(0, current_path.rfind(L'/') + 1) + location;
  }
  const size_t fragment = object.find(L'#');
  if (fragment != std::wstring::npos) object.erase(fragment);
  if (!UsablePath(object)) {
    object.clear();
    return false;
  }
  return true;
}

std::wstring Redirect::WithoutQueries(const std::wstring& text) {
  std::wstring result;
  result.reserve(text.size());
  bool in_query = false;
  for (wchar_t c : text) {
    if (c == L'\r' || c == L'\n') in_query = false;
    if (c == L'?') in_query = true;
    if (!in_query) result += c;
  }
  return result;
}
