#pragma once

#include <cstdint>
#include <string>

// Free space of the volume that holds a folder. Tests put their own in place
// of the system's.
class IDiskSpace {
 public:
  struct Volume {
    std::wstring root;        // names the volume: two folders with the same root share it
    uint64_t free_bytes = 0;  // what this user may still write there
  };
  virtual ~IDiskSpace() = default;
  // The volume of `folder`, or of its nearest existing parent when it does
  // not exist yet; false when the system cannot tell.
  virtual bool Query(const std::wstring& folder, Volume& volume) = 0;
};

// GetDiskFreeSpaceExW and GetVolumePathNameW.
class SystemDiskSpace : public IDiskSpace {
 public:
  bool Query(const std::wstring& folder, Volume& volume) override;

  // The one instance a manager uses unless it is given another.
  static SystemDiskSpace& Instance();
};
