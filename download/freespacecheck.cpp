#include "download/freespacecheck.h"

#include <windows.h>

#include <algorithm>

#include "base/error.h"
#include "base/filesystem.h"

namespace {

const char kModule[] = "downloadmanager";

}  // namespace

bool FreeSpaceCheck::HasRoom(const std::wstring& folder, uint64_t bytes) {
  uint64_t free_bytes = 0;
  // A volume the system cannot tell about is given the benefit of the
  // doubt: the writes themselves still report a full disk.
  if (!query->FreeBytes(folder, free_bytes) || free_bytes >= bytes) return true;
  Error::RecordError(L"DownloadManager: not enough free space for " + folder + L": " +
                         std::to_wstring(free_bytes) + L" bytes free, " + std::to_wstring(bytes) +
                         L" needed",
                     static_cast<uint32_t>(ERROR_DISK_FULL), kModule, __LINE__);
  return false;
}

bool FreeSpaceCheck::HasRoomForRelease(const ReleaseManifest& records) {
  // The run writes the final file of every record that has none yet, and the
  // missing parts of one file at a time: a file's parts go once it is merged.
  uint64_t finals = 0;
  uint64_t parts = 0;
  for (const ManifestFile& record : records) {
    const std::wstring& local = record.local_name;
    if (record.part_crcs.empty() || local.empty()) continue;
    if (::GetFileAttributesW(layout.FinalPath(local).c_str()) != INVALID_FILE_ATTRIBUTES) continue;
    finals += record.size;
    uint64_t missing = 0;
    for (size_t k = 0; k < record.part_crcs.size(); ++k) {
      uint64_t size = 0;
      if (!FileSystem::FileSize(layout.PartPath(local, k), size) ||
          size != layout.PartBytes(record, k)) {
        missing += layout.PartBytes(record, k);
      }
    }
    parts = std::max(parts, missing);
  }
  const std::wstring& program_folder = layout.ProgramFolder();
  const std::wstring& download_folder = layout.DownloadFolder();
  IFreeSpaceQuery::Volume program_volume;
  IFreeSpaceQuery::Volume download_volume;
  if (query->Query(program_folder, program_volume) &&
      query->Query(download_folder, download_volume) &&
      program_volume.root == download_volume.root) {
    return HasRoom(program_folder, finals + parts);
  }
  return HasRoom(program_folder, finals) && HasRoom(download_folder, parts);
}
