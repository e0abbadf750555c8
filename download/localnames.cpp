#include "download/localnames.h"

#include <cwctype>

namespace {

bool IsReservedDeviceName(const std::wstring& name) {
  // A device name is reserved with any extension: "nul.txt" is NUL too.
  std::wstring stem = name.substr(0, name.find(L'.'));
  while (!stem.empty() && stem.back() == L' ') stem.pop_back();
  for (wchar_t& c : stem) c = static_cast<wchar_t>(std::towupper(c));
  if (stem == L"CON" || stem == L"PRN" || stem == L"AUX" || stem == L"NUL" ||
      stem == L"CONIN$" || stem == L"CONOUT$") {
    return true;
  }
  // COM1 to COM9 and LPT1 to LPT9, including the superscript digits that
  // Windows also maps to the ports.
  if (stem.size() == 4 && (stem.compare(0, 3, L"COM") == 0 || stem.compare(0, 3, L"LPT") == 0)) {
    const wchar_t digit = stem[3];
    return (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
           digit == L'\u00B3';
  }
  return false;
}

}  // namespace

bool IsSafeFileName(const std::wstring& name) {
  if (name.empty() || name == L"." || name == L"..") return false;
  for (const wchar_t c : name) {
    if (c < 32 || c == L'<' || c == L'>' || c == L':' || c == L'"' || c == L'/' ||
        c == L'\\' || c == L'|' || c == L'?' || c == L'*') {
      return false;
    }
  }
  if (name.back() == L'.' || name.back() == L' ') return false;
  return !IsReservedDeviceName(name);
}

bool MakeLocalName(const std::wstring& host_name, const std::wstring& suffix,
                   std::wstring& local) {
  const size_t keep = host_name.find(L".exe") != std::wstring::npos ? 4 : 7;
  if (host_name.size() < keep || !IsSafeFileName(host_name)) return false;
  std::wstring name = host_name;
  name.insert(name.size() - keep, suffix);
  if (!IsSafeFileName(name)) return false;
  local = std::move(name);
  return true;
}
