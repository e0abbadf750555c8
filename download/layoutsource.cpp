#include "download/layoutsource.h"

#include <windows.h>

#include <cwctype>

#include "base/bytebuffer.h"
#include "base/crc.h"
#include "base/error.h"
#include "base/filesystem.h"
#include "base/scopedhandle.h"
#include "base/tempname.h"

namespace {

const char kModule[] = "downloadmanager";

// One spelling of a path for comparisons: the system's separators, lower
// case.
std::wstring Comparable(const std::wstring& path) {
  std::wstring result = path;
  for (wchar_t& c : result) c = c == L'/' ? L'\\' : static_cast<wchar_t>(std::towlower(c));
  return result;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Writes `size` bytes to `path` through a temporary name beside it, so that
// nothing under the name itself is ever cut short.
bool WriteWhole(const std::wstring& path, const void* bytes, size_t size) {
  const std::wstring temporary = TemporaryName(path);
  {
    UniqueHandle file(::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !::WriteFile(file.Get(), bytes, static_cast<DWORD>(size), &written, nullptr) ||
        written != size) {
      const DWORD error = ::GetLastError();
      file.Reset();
      ::DeleteFileW(temporary.c_str());
      ::SetLastError(error);
      return false;
    }
  }
  if (::MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  const DWORD error = ::GetLastError();
  ::DeleteFileW(temporary.c_str());
  ::SetLastError(error);
  return false;
}

}  // namespace

void LayoutSource::Set(const std::wstring& folder, bool make_layout) {
  folder_ = folder;
  make_layout_ = make_layout;
}

bool LayoutSource::Holds(const std::wstring& folder, const std::wstring& crc_info_name) {
  return !folder.empty() && IsFile(folder + L"\\" + crc_info_name);
}

std::wstring LayoutSource::LayoutPath(const std::wstring& local_name) const {
  return folder_ + L"/" + local_name;
}

bool LayoutSource::ReadCrcInfo(std::string& copy) {
  copy.clear();
  const std::wstring path = LayoutPath(layout.CrcInfoName());
  ByteBuffer bytes;
  FileSystem::ReadWholeFile(path, bytes);
  if (bytes.Empty()) {
    if (!crc_info_failure_logged_) {
      crc_info_failure_logged_ = true;
      Error::RecordError(L"DownloadManager: the layout's CRC info cannot be read: " + path +
                             L"; the host's is used",
                         ::GetLastError(), kModule, __LINE__);
    }
    return false;
  }
  if (!crc_info_read_logged_) {
    crc_info_read_logged_ = true;
    Error::LogMessage(L"DownloadManager: installing from the layout in " + folder_, kModule,
                      __LINE__);
  }
  for (size_t i = 0; i < bytes.Size(); ++i) {
    if (bytes.Data()[i] != 0) copy += static_cast<char>(bytes.Data()[i]);
  }
  return true;
}

bool LayoutSource::ReadPart(const std::wstring& path, const ManifestFile& record, size_t part,
                            std::vector<uint8_t>& bytes) const {
  const uint32_t size = layout.PartBytes(record, part);
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  LARGE_INTEGER offset;
  offset.QuadPart = static_cast<LONGLONG>(part) * layout.PartSize();
  if (!::SetFilePointerEx(file.Get(), offset, nullptr, FILE_BEGIN)) return false;
  bytes.resize(size);
  DWORD got = 0;
  if (!::ReadFile(file.Get(), bytes.data(), size, &got, nullptr) || got != size) return false;
  return static_cast<int32_t>(CRC().Compute(bytes.data(), size)) == record.part_crcs.at(part);
}

bool LayoutSource::WritePart(const std::wstring& path, const std::vector<uint8_t>& bytes) const {
  // The download folder appears with the first part written.
  ::CreateDirectoryW(layout.DownloadFolder().c_str(), nullptr);
  if (WriteWhole(path, bytes.data(), bytes.size())) return true;
  Error::RecordError(
      L"DownloadManager: unable to write the part file " + path + L" from the layout",
      ::GetLastError(), kModule, __LINE__);
  return false;
}

void LayoutSource::Prepare(const ManifestFile& record, const DeleteOwnFile& delete_own) {
  if (!make_layout_ && folder_.empty()) return;
  const std::wstring final_path = layout.FinalPath(record.local_name);
  std::vector<std::wstring> sources;
  uint64_t final_size = 0;
  const bool final_exists = IsFile(final_path) && FileSystem::FileSize(final_path, final_size);
  if (final_exists) sources.push_back(final_path);
  if (!folder_.empty()) {
    const std::wstring in_layout = LayoutPath(record.local_name);
    if (Comparable(in_layout) != Comparable(final_path) && IsFile(in_layout)) {
      sources.push_back(in_layout);
    }
  }
  if (sources.empty()) return;

  const size_t parts = record.part_crcs.size();
  std::vector<uint8_t> bytes;
  // The final file first, read whole: when it is right, nothing is touched.
  std::vector<bool> final_right(parts, false);
  bool final_whole = final_exists && final_size == record.size;
  if (final_exists) {
    for (size_t k = 0; k < parts; ++k) {
      if (stop.StopRequested()) return;
      final_right[k] = ReadPart(final_path, record, k, bytes);
      final_whole = final_whole && final_right[k];
    }
    if (final_whole) return;
  }

  size_t taken = 0;
  size_t left = 0;
  for (size_t k = 0; k < parts; ++k) {
    if (stop.StopRequested()) return;
    const std::wstring part_path = layout.PartPath(record.local_name, k);
    // A part file already there is checked with the others before the
    // download.
    if (IsFile(part_path)) continue;
    bool found = false;
    for (size_t s = 0; s < sources.size() && !found; ++s) {
      if (sources[s] == final_path && !final_right[k]) continue;
      // The final file's right parts are known; the layout's are read now.
      found = ReadPart(sources[s], record, k, bytes) && WritePart(part_path, bytes);
    }
    if (found) {
      ++taken;
    } else {
      ++left;
    }
  }
  Error::LogMessage(L"DownloadManager: " + record.local_name + L": " + std::to_wstring(taken) +
                        L" of " + std::to_wstring(parts) + L" parts taken from " +
                        (folder_.empty() ? layout.ProgramFolder() : folder_) + L", " +
                        std::to_wstring(left) + L" left to the host",
                    kModule, __LINE__);
  // Wrong as it stands: it is merged again from the parts.
  if (final_exists) delete_own(final_path);
}

bool LayoutSource::Finish(const std::string& crc_info, const std::wstring& program_path) {
  const std::wstring folder = layout.ProgramFolder();
  const std::wstring crc_path = folder + L"/" + layout.CrcInfoName();
  if (!WriteWhole(crc_path, crc_info.data(), crc_info.size())) {
    Error::RecordError(L"DownloadManager: unable to write the layout's CRC info " + crc_path,
                       ::GetLastError(), kModule, __LINE__);
    return false;
  }
  const std::wstring program_copy =
      folder + L"/" + program_path.substr(program_path.find_last_of(L"\\/") + 1);
  if (Comparable(program_copy) != Comparable(program_path) &&
      !::CopyFileW(program_path.c_str(), program_copy.c_str(), FALSE)) {
    Error::RecordError(
        L"DownloadManager: unable to copy the program into the layout: " + program_copy,
        ::GetLastError(), kModule, __LINE__);
    return false;
  }
  Error::LogMessage(L"DownloadManager: the layout in " + folder +
                        L" is complete and verified; nothing is started",
                    kModule, __LINE__);
  return true;
}
