#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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
