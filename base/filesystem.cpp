#include "base/filesystem.h"

#include "base/error.h"
#include "base/heldfileretry.h"
#include "base/scopedhandle.h"
#include "base/stringutils.h"

namespace {

const char kModule[] = "filesystem";

bool IsDotEntry(const wchar_t* name) {
  return (name[0] == L'.' && name[1] == L'\0') ||
         (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

// Calls `take` with every entry of one search that is not "." or "..";
// returns false when the search found nothing.
template <typename Take>
bool Search(const std::wstring& pattern, Take take) {
  WIN32_FIND_DATAW entry;
  UniqueFindHandle find(::FindFirstFileW(pattern.c_str(), &entry));
  if (!find) return false;
  do {
    if (!IsDotEntry(entry.cFileName)) take(entry);
  } while (::FindNextFileW(find.Get(), &entry));
  return true;
}

}  // namespace

FileSystem::EntryKind FileSystem::Classify(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_HIDDEN) return EntryKind::kSkipped;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? EntryKind::kFolderLink
                                                       : EntryKind::kFolder;
  }
  // A symbolic link to a file is deleted like a file: DeleteFileW removes the
  // link, not its target.
  return EntryKind::kFile;
}

std::string FileSystem::GetExecutableFolder() {
  char path[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  const std::string text(path);
  const size_t slash = text.rfind('\\');
  return slash == std::string::npos ? text : text.substr(0, slash);
}

std::wstring FileSystem::GetExecutablePathWide() {
  // A program in a folder deeper than MAX_PATH would be cut off by a buffer
  // of that size, and its folder would name some other place.
  std::vector<wchar_t> path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size() || path.size() >= kLongestPath) {
      return std::wstring(path.data(), length);
    }
    path.assign(path.size() * 2, L'\0');
  }
}

std::wstring FileSystem::GetExecutableFolderWide() {
  const std::wstring text = GetExecutablePathWide();
  const size_t slash = text.rfind(L'\\');
  return slash == std::wstring::npos ? text : text.substr(0, slash);
}

bool FileSystem::FileSize(const std::wstring& path, uint64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

void FileSystem::ReadWholeFile(const std::wstring& path, ByteBuffer& buffer) {
  buffer.Reset();
  UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    Error::RecordError("Couldn't read file " + StringUtils::ToNarrow(path), ::GetLastError(),
                       kModule, __LINE__);
    return;
  }
  const DWORD size = ::GetFileSize(file.Get(), nullptr);
  if (size == INVALID_FILE_SIZE || size == 0) return;
  std::vector<uint8_t> bytes(size);
  DWORD read = 0;
  if (!::ReadFile(file.Get(), bytes.data(), size, &read, nullptr)) {
    Error::RecordError("Unable to read from file" + StringUtils::ToNarrow(path), ::GetLastError(),
                       kModule, __LINE__);
  }
  buffer.Assign(bytes.data(), bytes.size());
}

void FileSystem::ListFiles(const std::wstring& folder, const std::vector<std::wstring>& patterns,
                           std::vector<std::wstring>& names, bool full_path) {
  names.clear();
  const std::vector<std::wstring> all{L"/*.*"};
  for (const std::wstring& pattern : patterns.empty() ? all : patterns) {
    const bool found = Search(folder + L"/" + pattern, [&](const WIN32_FIND_DATAW& entry) {
      if (Classify(entry.dwFileAttributes) != EntryKind::kFile) return;
      names.push_back(full_path ? folder + L"/" + entry.cFileName : entry.cFileName);
    });
    if (!found) break;
  }
}

void FileSystem::ListSubfolders(const std::wstring& folder, std::vector<std::wstring>& names) {
  names.clear();
  Search(folder + L"/*.*", [&](const WIN32_FIND_DATAW& entry) {
    if (Classify(entry.dwFileAttributes) == EntryKind::kFolder) names.push_back(entry.cFileName);
  });
}

void FileSystem::ListFolderLinks(const std::wstring& folder, std::vector<std::wstring>& names) {
  names.clear();
  Search(folder + L"/*.*", [&](const WIN32_FIND_DATAW& entry) {
    if (Classify(entry.dwFileAttributes) == EntryKind::kFolderLink) {
      names.push_back(folder + L"/" + entry.cFileName);
    }
  });
}

void FileSystem::RecursivelyRemoveDirectory(const std::wstring& folder, const StopToken* stop) {
  std::vector<std::wstring> names;
  ListSubfolders(folder, names);
  for (const std::wstring& name : names) RecursivelyRemoveDirectory(folder + L"/" + name, stop);

  // RemoveDirectoryW on a junction or a folder link removes the link alone.
  ListFolderLinks(folder, names);
  for (const std::wstring& link : names) {
    if (!::RemoveDirectoryW(link.c_str())) {
      Error::RecordError("FileSystem::RecursivelyRemoveDirectory RemoveDirectory failed " +
                             StringUtils::ToNarrow(link),
                         ::GetLastError(), kModule, __LINE__);
    }
  }

  ListFiles(folder, {}, names, true);
  for (const std::wstring& file : names) {
    // Not our own file as far as this utility knows: access denied (a
    // read-only file) fails at once.
    if (!HeldFileRetry::Retry(L"deleting", file, false, stop,
                              [&file] { return ::DeleteFileW(file.c_str()) != FALSE; })) {
      Error::RecordError(
          "FileSystem::RecursivelyRemoveDirectory DeleteFile failed " + StringUtils::ToNarrow(file),
          ::GetLastError(), kModule, __LINE__);
    }
  }

  // The wide call, so that a folder the ANSI code page cannot name (a user
  // profile like "Łukasz") is removed too; the record keeps the narrow form.
  if (!HeldFileRetry::Retry(L"removing the folder", folder, false, stop,
                            [&folder] { return ::RemoveDirectoryW(folder.c_str()) != FALSE; })) {
    Error::RecordError("FileSystem::RecursivelyRemoveDirectory RemoveDirectory failed " +
                           StringUtils::ToNarrow(folder),
                       ::GetLastError(), kModule, __LINE__);
  }
}
