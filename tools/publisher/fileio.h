#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A POSIX file descriptor, closed exactly once. Move-only.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int Release();
  // Closes now and reports close's own failure (a full disk can show here).
  bool Close();

 private:
  int fd_ = -1;
};

// A read-only view of bytes [offset, offset + size) of a file, unmapped
// exactly once. Reading through it costs no copy; a file cut shorter while
// it is mapped ends the process with SIGBUS, before anything of a release
// is complete.
class FileMapping {
 public:
  FileMapping(int fd, uint64_t offset, size_t size);
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;
  ~FileMapping();

  bool Valid() const { return base_ != nullptr; }
  const char* Data() const { return static_cast<const char*>(base_) + lead_; }

 private:
  void* base_ = nullptr;
  size_t length_ = 0;
  size_t lead_ = 0;  // from the page boundary below `offset` to it
};

namespace FileIo {

// The text of errno, for messages.
std::string ErrorText();

// Reads until `size` bytes or the end; the count read, or -1 on an error.
ssize_t ReadFull(int fd, void* buffer, size_t size);
bool WriteAll(int fd, const void* data, size_t size);

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& error);

// Creates `path` as a new file, open for reading and writing: never an
// existing one, nor through a link planted at that name.
UniqueFd CreateNewFile(const std::string& path, mode_t mode);

// Writes `path` through a new temporary file beside it and a rename, so the
// name never shows a half-written file and no link at either name is
// followed. `mode`: 0600 for a file that holds a secret.
bool WriteFileAtomically(const std::string& path, const void* data, size_t size, mode_t mode,
                         std::string& error);
// Copies `size` bytes of `in` from `offset` to the end of `out` in the
// kernel, as cat does; where the file systems do not allow that, writes
// them from a mapping of `in`.
bool CopyRange(int in, uint64_t offset, int out, size_t size);

// Everything below `folder` that is not a folder (files, and links, which
// are never followed), as paths relative to it, sorted.
bool ListFiles(const std::string& folder, std::vector<std::string>& files, std::string& error);

// Makes `relative`'s folders below `root` (which must exist or is made
// too); a link in their place is refused, never followed.
bool MakeFolders(const std::string& root, const std::string& relative, std::string& error);

// Removes `path` and, if it is a folder, everything below it; links are
// removed, never followed. A missing `path` is no error.
bool RemoveTree(const std::string& path, std::string& error);

// What identifies a file's contents at one moment: a rewrite in place
// changes the modification or change time, a replacement the inode.
struct FileState {
  dev_t device = 0;
  ino_t inode = 0;
  uint64_t size = 0;
  int64_t modified_ns = 0;
  int64_t changed_ns = 0;
  bool operator==(const FileState& other) const;
};

// Opens `path` for reading if it is a regular file (not a link, folder or
// device), with its state; false with `error` otherwise.
bool OpenRegularFile(const std::string& path, UniqueFd& fd, FileState& state, std::string& error);
FileState StateOf(const struct stat& info);

// The suffix of the temporary names above.
inline constexpr char kTempSuffix[] = ".publish-tmp";
// A temporary name, or a path inside a temporary folder: a leftover of a
// killed run, no object of a release.
bool IsTempName(const std::string& path);

}  // namespace FileIo
