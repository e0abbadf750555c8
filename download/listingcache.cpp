#include "download/listingcache.h"

#include <windows.h>

#include "base/scopedhandle.h"

void ListingCache::List(const std::wstring& folder) {
  names.clear();
  WIN32_FIND_DATAW entry;
  // Every kind of entry counts, folders and hidden ones too: a name that is
  // taken in any way is left to the look-up on disk.
  UniqueFindHandle find(::FindFirstFileExW((folder + L"/*").c_str(), FindExInfoBasic, &entry,
                                           FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
  listed = static_cast<bool>(find);
  if (!listed) return;
  do {
    names.insert(Folded(entry.cFileName));
  } while (::FindNextFileW(find.Get(), &entry));
  // A listing cut short by an error is no proof of absence.
  if (::GetLastError() != ERROR_NO_MORE_FILES) {
    listed = false;
    names.clear();
  }
}

void ListingCache::Add(const std::wstring& name) {
  if (listed) names.insert(Folded(name));
}

bool ListingCache::MayExist(const std::wstring& name) const {
  return !listed || names.count(Folded(name)) > 0;
}

std::wstring ListingCache::Folded(const std::wstring& name) {
  std::wstring folded = name;
  if (!folded.empty()) {
    ::LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, name.c_str(), static_cast<int>(name.size()),
                   &folded[0], static_cast<int>(folded.size()));
  }
  return folded;
}
