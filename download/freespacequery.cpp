#include "download/freespacequery.h"

#include <windows.h>

#include <cwctype>
#include <vector>

namespace {

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The free bytes of the volume of `folder`, and in `existing` the folder
// they were asked of.
bool FreeBytesOf(const std::wstring& folder, std::wstring& existing, uint64_t& free_bytes) {
  // The download folder does not exist before its first part; the volume
  // that will hold it is its parent's.
  existing = folder;
  while (!existing.empty() && !IsFolder(existing)) {
    const size_t separator = existing.find_last_of(L"/\\");
    if (separator == std::wstring::npos) return false;
    existing.resize(separator);
  }
  ULARGE_INTEGER free_space;
  if (existing.empty() || !::GetDiskFreeSpaceExW(existing.c_str(), &free_space, nullptr, nullptr)) {
    return false;
  }
  free_bytes = free_space.QuadPart;
  return true;
}

}  // namespace

bool SystemFreeSpaceQuery::FreeBytes(const std::wstring& folder, uint64_t& free_bytes) {
  std::wstring existing;
  return FreeBytesOf(folder, existing, free_bytes);
}

bool SystemFreeSpaceQuery::Query(const std::wstring& folder, Volume& volume) {
  std::wstring existing;
  if (!FreeBytesOf(folder, existing, volume.free_bytes)) return false;
  std::vector<wchar_t> root(existing.size() + MAX_PATH);
  if (!::GetVolumePathNameW(existing.c_str(), root.data(), static_cast<DWORD>(root.size()))) {
    return false;
  }
  volume.root = root.data();
  for (wchar_t& c : volume.root) c = static_cast<wchar_t>(std::towlower(c));
  return true;
}

SystemFreeSpaceQuery& SystemFreeSpaceQuery::Instance() {
  static SystemFreeSpaceQuery query;
  return query;
}
