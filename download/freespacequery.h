#pragma once

#include <cstdint>
#include <string>

// Free space of the volume that holds a folder. Tests put their own in place
// of the system's.
class IFreeSpaceQuery {
 public:
  struct Volume {
    std::wstring root;        // names the volume: two folders with the same root share it
    uint64_t free_bytes = 0;  // what this user may still write there
  };
  virtual ~IFreeSpaceQuery() = default;
  // The volume of `folder`, or of its nearest existing parent when it does
  // not exist yet; false when the system cannot tell.
  virtual bool Query(const std::wstring& folder, Volume& volume) = 0;
  // Only the free bytes of Query, which may come cheaper than the volume.
  virtual bool FreeBytes(const std::wstring& folder, uint64_t& free_bytes) {
    Volume volume;
    if (!Query(folder, volume)) return false;
    free_bytes = volume.free_bytes;
    return true;
  }
};

// GetDiskFreeSpaceExW and GetVolumePathNameW.
class SystemFreeSpaceQuery : public IFreeSpaceQuery {
 public:
  bool Query(const std::wstring& folder, Volume& volume) override;
  // Without the volume's root, whose look-up under Wine walks every parent
  // folder: asked before every merge.
  bool FreeBytes(const std::wstring& folder, uint64_t& free_bytes) override;

  // The one instance a manager uses unless it is given another.
  static SystemFreeSpaceQuery& Instance();
};
