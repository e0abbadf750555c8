#pragma once

#include <string>

// A file being received is written under a temporary name beside the name
// it gets once checked, so that nothing under a part's own name is ever
// incomplete or wrong. The folder watcher leaves these names alone, and a
// start removes any a killed run left behind.
inline constexpr wchar_t kTemporarySuffix[] = L".tmp";

inline std::wstring TemporaryName(const std::wstring& path) { return path + kTemporarySuffix; }

inline bool IsTemporaryName(const std::wstring& name) {
  const std::wstring suffix = kTemporarySuffix;
  return name.size() > suffix.size() &&
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}
