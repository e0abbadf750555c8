// The free-space checks of the run: before the downloads of an attempt and
// before each merge, so that a full disk is told to the user before the
// parts that cannot be saved are fetched, not after.
#include "download/downloadmanager.h"

#include <windows.h>

#include <algorithm>

#include "base/error.h"

namespace {

const char kModule[] = "downloadmanager";

}  // namespace

bool DownloadManager::FileSize(const std::wstring& path, uint64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

bool DownloadManager::HasRoom(const std::wstring& folder, uint64_t bytes) {
  IDiskSpace::Volume volume;
  // A volume the system cannot tell about is given the benefit of the
  // doubt: the writes themselves still report a full disk.
  if (!disk_space->Query(folder, volume) || volume.free_bytes >= bytes) return true;
  Error::RecordError(L"DownloadManager: not enough free space for " + folder + L": " +
                         std::to_wstring(volume.free_bytes) + L" bytes free, " +
                         std::to_wstring(bytes) + L" needed",
                     static_cast<uint32_t>(ERROR_DISK_FULL), kModule, __LINE__);
  return false;
}

bool DownloadManager::HasRoomForRelease(const CrcInfo& records) {
  // The run writes the final file of every record that has none yet, and the
  // missing parts of one file at a time: a file's parts go once it is merged.
  uint64_t finals = 0;
  uint64_t parts = 0;
  for (const FileRecord& record : records) {
    std::wstring local;
    if (RecordPartCount(record) == 0 || !LocalName(record, local)) continue;
    if (::GetFileAttributesW(FinalPath(local).c_str()) != INVALID_FILE_ATTRIBUTES) continue;
    finals += RecordFileSize(record);
    uint64_t missing = 0;
    for (size_t k = 0; k < RecordPartCount(record); ++k) {
      uint64_t size = 0;
      if (!FileSize(PartPath(local, k), size) || size != PartBytes(record, k)) {
        missing += PartBytes(record, k);
      }
    }
    parts = std::max(parts, missing);
  }
  IDiskSpace::Volume program_volume;
  IDiskSpace::Volume download_volume;
  if (disk_space->Query(program_folder, program_volume) &&
      disk_space->Query(download_folder, download_volume) &&
      program_volume.root == download_volume.root) {
    return HasRoom(program_folder, finals + parts);
  }
  return HasRoom(program_folder, finals) && HasRoom(download_folder, parts);
}
