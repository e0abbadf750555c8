#pragma once

#include <string>

#include "download/releasemanifest.h"

// The check at the start of a run that the program folder takes the
// release's files: the longest name the CRC info gives a file there (while
// it is merged, with its ".merging" ending), created for a moment. A system
// without long paths refuses a folder plus name beyond MAX_PATH; every
// system refuses a name beyond its own limit.
class LongPathCheck {
 public:
  // The longest file name the run writes into the program folder.
  static size_t LongestName(const ReleaseManifest& records);
  // False when a file of a name `length` characters long cannot be made in
  // `folder` because the path or name is too long.
  static bool Takes(const std::wstring& folder, size_t length);
  // What the user is told when it does not.
  static std::wstring Advice(const std::wstring& folder, const std::wstring& program_path);
};
