#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "download/releasemanifest.h"

// Where a release's objects lie on the host and its parts on disk. The
// program and the publisher both form their paths here, so what the
// publisher lays out is always what the program asks for.

// A release whose CRC info name holds "2_5" has the old layout: its folder
// on the host is path_prefix, and its objects lie below no prefix. Swaps the
// two folders when that applies; true when it did.
bool ApplyOldLayout(const std::wstring& crc_info_name, std::wstring& path_prefix,
                    std::wstring& download_subdir);

// The host folder is requested in lower case (A-Z only; nothing else folds).
std::wstring RequestedFolder(const std::wstring& download_subdir);

// download_subdir + "/" + crc_info_name: no slash in front.
std::wstring CrcInfoObjectPath(const std::wstring& download_subdir,
                               const std::wstring& crc_info_name);

// path_prefix + "/" + download_subdir + "/" + k + "_" + host file name.
std::wstring PartObjectPath(const std::wstring& path_prefix, const std::wstring& download_subdir,
                            size_t part, const std::wstring& host_file_name);

// The part file's name in the download folder: local name + "part" + k.
std::wstring PartFileName(const std::wstring& local_name, size_t part);

// Bytes of part k of a file of `file_size` bytes cut into `part_size` parts;
// 0 past the end.
uint32_t PartBytes(uint64_t file_size, uint32_t part_size, size_t part);

// Parts a file of `file_size` bytes has: none for an empty file.
size_t PartCount(uint64_t file_size, uint32_t part_size);

// The names of one release's files: where each record's parts and final
// file lie on disk and which object each part is on the host. Pure names,
// nothing is touched; the folders use "/" as the program forms them.
class ReleaseLayout {
 public:
  // The host folder and the local names' suffix ("_" + product code);
  // further hosts keep the release in folders of their own.
  void SetRelease(const std::wstring& download_subdir, const std::wstring& product_code,
                  const std::vector<std::wstring>& mirror_subdirs = {});
  void Configure(const std::wstring& path_prefix, const std::wstring& crc_info_name,
                 const std::wstring& download_folder, const std::wstring& program_folder);

  // Before each fetch of the CRC info: the old layout is applied once (a
  // second swap would undo the first) and the host folder is asked for in
  // lower case, on every host. Returns the CRC info's object path on the
  // first host.
  std::wstring ResolveCrcInfoObjectPath();
  // On host `host` (0: the first), once resolved.
  std::wstring CrcInfoObjectPath(size_t host) const;

  // The local name of a record; false when no safe one exists.
  bool LocalName(const ManifestFile& record, std::wstring& local) const;
  std::wstring PartPath(const std::wstring& local_name, size_t part) const;
  std::wstring FinalPath(const std::wstring& local_name) const;
  std::wstring PartObjectPath(const ManifestFile& record, size_t part, size_t host = 0) const;
  // Bytes in part k of a record: part_size, less for the last part.
  uint32_t PartBytes(const ManifestFile& record, size_t part) const;
  uint32_t PartSize() const { return part_size_; }

  const std::wstring& DownloadFolder() const { return download_folder_; }
  const std::wstring& ProgramFolder() const { return program_folder_; }
  const std::wstring& CrcInfoName() const { return crc_info_name_; }

 private:
  uint32_t part_size_ = kPartSize;
  std::wstring path_prefix_;
  // The release's folder on each host, the first host's first.
  std::vector<std::wstring> folders_{L""};
  std::wstring crc_info_name_;
  std::wstring download_folder_;
  std::wstring program_folder_;
  std::wstring local_name_suffix_;
  bool old_layout_applied_ = false;
};
