#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The release's file list. Each record is its lines in order: the host file
// name, the size, then the CRC-32 of every 10,000,000-byte part.
using FileRecord = std::vector<std::wstring>;
using CrcInfo = std::vector<FileRecord>;

constexpr uint32_t kPartSize = 10000000;

// Records are the pieces after each ";", cut into lines at CR LF; trailing
// empty lines are dropped. A piece with fewer than two lines (no name and
// size) is no record and is skipped.
CrcInfo ParseCrcInfo(const char* data, size_t size);

// Readers of one record; a record always has at least two lines.
const std::wstring& RecordFileName(const FileRecord& record);
// Base detected as C does: "0x10" is 16, "010" is 8; stops at the first
// character that is not part of the number.
uint32_t RecordFileSize(const FileRecord& record);
size_t RecordPartCount(const FileRecord& record);
// Signed decimal, clamped to the 32-bit range; compared with the CRC-32
// taken as a signed value.
int32_t RecordPartCrc(const FileRecord& record, size_t part);
