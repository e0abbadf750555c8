#include "download/crcinfo.h"

#include <cerrno>
#include <climits>
#include <cwchar>

#include "base/stringutils.h"

CrcInfo ParseCrcInfo(const char* data, size_t size) {
  std::string bytes;
  bytes.reserve(size);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != '\0') bytes += data[i];
  }

  std::vector<std::wstring> pieces;
  StringUtils::Split(StringUtils::ToWide(bytes), L";", pieces, true);
  CrcInfo records;
  for (size_t i = 1; i < pieces.size(); ++i) {
    FileRecord lines;
    StringUtils::Split(pieces[i], L"\r\n", lines, true);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    if (lines.size() >= 2) records.push_back(std::move(lines));
  }
  return records;
}

const std::wstring& RecordFileName(const FileRecord& record) { return record.at(0); }

uint32_t RecordFileSize(const FileRecord& record) {
  const unsigned long long value = std::wcstoull(record.at(1).c_str(), nullptr, 0);
  return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

size_t RecordPartCount(const FileRecord& record) {
  return record.size() > 2 ? record.size() - 2 : 0;
}

int32_t RecordPartCrc(const FileRecord& record, size_t part) {
  const long long value = std::wcstoll(record.at(2 + part).c_str(), nullptr, 10);
  if (value < INT32_MIN) return INT32_MIN;
  if (value > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(value);
}
