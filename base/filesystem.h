#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/bytebuffer.h"
#include "base/stoptoken.h"

// The few disk operations the download manager needs beyond the download
// worker's own. Failures are recorded in the log and otherwise swallowed;
// nothing throws and nothing returns an error.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Narrow path of the running program's folder, without trailing separator.
  static std::string GetExecutableFolder();
  // The same folder as wide text, whatever characters its path holds and
  // however long it is.
  static std::wstring GetExecutableFolderWide();
  // The running program's full path, however long.
  static std::wstring GetExecutablePathWide();
  // The longest path the system's wide file functions take.
  static constexpr size_t kLongestPath = 32768;
  static void ReadWholeFile(const std::wstring& path, ByteBuffer& buffer);
  // False, with the system's error as the last error, when the file cannot
  // be looked at.
  static bool FileSize(const std::wstring& path, uint64_t& size);
  // Plain files only (no folders, no hidden entries). No patterns: "/*.*".
  static void ListFiles(const std::wstring& folder, const std::vector<std::wstring>& patterns,
                        std::vector<std::wstring>& names, bool full_path);
  // Real subfolders only: hidden ones and links (junctions, symbolic links)
  // are left out, so that nothing walks through a link out of the tree.
  static void ListSubfolders(const std::wstring& folder, std::vector<std::wstring>& names);
  // Removes the tree depth first. A link inside it is removed as a link; what
  // it points to is never touched. A file or folder held by another program
  // (a scanner) is waited for (HeldFileRetry), until the stop when one is given.
  static void RecursivelyRemoveDirectory(const std::wstring& folder,
                                         const StopToken* stop = nullptr);

  // How a listing treats one entry, by its attributes.
  enum class EntryKind { kFile, kFolder, kFolderLink, kSkipped };
  static EntryKind Classify(DWORD attributes);

 private:
  static void ListFolderLinks(const std::wstring& folder, std::vector<std::wstring>& names);
};
