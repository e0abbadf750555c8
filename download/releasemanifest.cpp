#include "download/releasemanifest.h"

#include <climits>
#include <cwchar>

#include "base/stringutils.h"

namespace {

uint32_t FileSize(const std::wstring& line) {
  const unsigned long long value = std::wcstoull(line.c_str(), nullptr, 0);
  return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

int32_t PartCrc(const std::wstring& line) {
  const long long value = std::wcstoll(line.c_str(), nullptr, 10);
  if (value < INT32_MIN) return INT32_MIN;
  if (value > INT32_MAX) return INT32_MAX;
  return static_cast<int32_t>(value);
}

}  // namespace

ReleaseManifest ParseCrcInfo(const char* data, size_t size) {
  std::string bytes;
  bytes.reserve(size);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != '\0') bytes += data[i];
  }

  std::vector<std::wstring> pieces;
  StringUtils::Split(StringUtils::ToWide(bytes), L";", pieces, true);
  ReleaseManifest files;
  for (size_t i = 1; i < pieces.size(); ++i) {
    std::vector<std::wstring> lines;
    StringUtils::Split(pieces[i], L"\r\n", lines, true);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    if (lines.size() < 2) continue;
    ManifestFile file;
    file.host_name = lines[0];
    file.size = FileSize(lines[1]);
    for (size_t k = 2; k < lines.size(); ++k) file.part_crcs.push_back(PartCrc(lines[k]));
    files.push_back(std::move(file));
  }
  return files;
}
