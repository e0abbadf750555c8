#pragma once

#include <cstdint>
#include <string>

#include "download/freespacequery.h"
#include "download/releaselayout.h"
#include "download/releasemanifest.h"

// The free-space checks of the run: before the downloads of an attempt and
// before each merge, so that a full disk is told to the user before the
// parts that cannot be saved are fetched, not after.
class FreeSpaceCheck {
 public:
  explicit FreeSpaceCheck(const ReleaseLayout& layout) : layout(layout) {}

  // Null puts the system's free-space query back.
  void SetFreeSpaceQuery(IFreeSpaceQuery* query) {
    this->query = query ? query : &SystemFreeSpaceQuery::Instance();
  }

  // False, with a log entry, when the volume of `folder` has less than
  // `bytes` free.
  bool HasRoom(const std::wstring& folder, uint64_t bytes);
  // Room in both folders for what the run still has to write.
  bool HasRoomForRelease(const ReleaseManifest& records);

 private:
  const ReleaseLayout& layout;
  IFreeSpaceQuery* query = &SystemFreeSpaceQuery::Instance();
};
