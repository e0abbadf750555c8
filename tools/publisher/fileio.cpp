#include "tools/publisher/fileio.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.Release();
  }
  return *this;
}

UniqueFd::~UniqueFd() { Close(); }

int UniqueFd::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

bool UniqueFd::Close() {
  if (fd_ < 0) return true;
  const int fd = Release();
  return ::close(fd) == 0;
}

FileMapping::FileMapping(int fd, uint64_t offset, size_t size) {
  const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  lead_ = static_cast<size_t>(offset % page);
  length_ = lead_ + size;
  if (size == 0) return;
  void* base =
      ::mmap(nullptr, length_, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(offset - lead_));
  if (base == MAP_FAILED) return;
  // Not MADV_SEQUENTIAL: the part is read twice (CRC, then the write), and
  // sequential access lets the kernel drop pages behind the first pass.
  ::madvise(base, length_, MADV_WILLNEED);
  base_ = base;
}

FileMapping::~FileMapping() {
  if (base_) ::munmap(base_, length_);
}

namespace FileIo {

bool IsTempName(const std::string& path) {
  const size_t length = sizeof kTempSuffix - 1;
  for (size_t end = path.find('/');; end = path.find('/', end + 1)) {
    const size_t stop = end == std::string::npos ? path.size() : end;
    if (stop >= length && path.compare(stop - length, length, kTempSuffix) == 0) return true;
    if (end == std::string::npos) return false;
  }
}

std::string ErrorText() { return std::strerror(errno); }

ssize_t ReadFull(int fd, void* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, static_cast<char*>(buffer) + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

bool WriteAll(int fd, const void* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t put = ::write(fd, static_cast<const char*>(data) + done, size - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& error) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info;
  if (!fd || ::fstat(fd.Get(), &info) != 0) {
    error = "cannot open " + path + ": " + ErrorText();
    return false;
  }
  bytes.resize(static_cast<size_t>(info.st_size));
  const ssize_t got = ReadFull(fd.Get(), &bytes[0], bytes.size());
  if (got < 0) {
    error = "cannot read " + path + ": " + ErrorText();
    return false;
  }
  bytes.resize(static_cast<size_t>(got));
  return true;
}

UniqueFd CreateNewFile(const std::string& path, mode_t mode) {
  return UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
}

bool WriteFileAtomically(const std::string& path, const void* data, size_t size, mode_t mode,
                         std::string& error) {
  const std::string temp = path + kTempSuffix;
  // A leftover of a killed run (or anything planted there) goes first.
  if (::unlink(temp.c_str()) != 0 && errno != ENOENT) {
    error = "cannot remove " + temp + ": " + ErrorText();
    return false;
  }
  UniqueFd fd = CreateNewFile(temp, mode);
  if (!fd) {
    error = "cannot create " + temp + ": " + ErrorText();
    return false;
  }
  if (::fchmod(fd.Get(), mode) != 0 || !WriteAll(fd.Get(), data, size) || !fd.Close()) {
    error = "cannot write " + temp + ": " + ErrorText();
    ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    error = "cannot rename " + temp + " to " + path + ": " + ErrorText();
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

bool CopyRange(int in, uint64_t offset, int out, size_t size) {
  loff_t from = static_cast<loff_t>(offset);
  size_t done = 0;
  while (done < size) {
    const ssize_t copied = ::copy_file_range(in, &from, out, nullptr, size - done, 0);
    if (copied < 0 && errno == EINTR) continue;
    if (copied < 0 &&
        (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
      const FileMapping rest(in, static_cast<uint64_t>(from), size - done);
      return rest.Valid() && WriteAll(out, rest.Data(), size - done);
    }
    if (copied <= 0) {
      if (copied == 0) errno = EIO;
      return false;
    }
    done += static_cast<size_t>(copied);
  }
  return true;
}

namespace {

bool ListInto(const std::string& root, const std::string& relative, std::vector<std::string>& files,
              std::string& error) {
  const std::string folder = relative.empty() ? root : root + "/" + relative;
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) {
    error = "cannot list " + folder + ": " + ErrorText();
    return false;
  }
  bool ok = true;
  while (dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const std::string child = relative.empty() ? name : relative + "/" + name;
    struct stat info;
    if (::lstat((root + "/" + child).c_str(), &info) != 0) {
      error = "cannot read " + root + "/" + child + ": " + ErrorText();
      ok = false;
      break;
    }
    if (S_ISDIR(info.st_mode)) {
      if (!(ok = ListInto(root, child, files, error))) break;
    } else {
      files.push_back(child);
    }
  }
  return ok;
}

}  // namespace

bool ListFiles(const std::string& folder, std::vector<std::string>& files, std::string& error) {
  files.clear();
  if (!ListInto(folder, "", files, error)) return false;
  std::sort(files.begin(), files.end());
  return true;
}

bool MakeFolders(const std::string& root, const std::string& relative, std::string& error) {
  for (size_t slash = root.find('/', 1);; slash = root.find('/', slash + 1)) {
    const std::string part = root.substr(0, slash);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      error = "cannot create folder " + part + ": " + ErrorText();
      return false;
    }
    if (slash == std::string::npos) break;
  }
  if (relative.empty()) return true;
  for (size_t slash = relative.find('/');; slash = relative.find('/', slash + 1)) {
    const std::string part = root + "/" + relative.substr(0, slash);
    struct stat info;
    if (::mkdir(part.c_str(), 0755) != 0 &&
        (errno != EEXIST || ::lstat(part.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))) {
      error =
          "cannot create folder " + part + ": " +
          (errno == EEXIST ? std::string("something else (a link?) is in its place") : ErrorText());
      return false;
    }
    if (slash == std::string::npos) return true;
  }
}

bool RemoveTree(const std::string& path, std::string& error) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return true;
    error = "cannot read " + path + ": " + ErrorText();
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
    if (!dir) {
      error = "cannot list " + path + ": " + ErrorText();
      return false;
    }
    std::vector<std::string> children;
    while (dirent* entry = ::readdir(dir.get())) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") children.push_back(path + "/" + name);
    }
    for (const std::string& child : children) {
      if (!RemoveTree(child, error)) return false;
    }
    if (::rmdir(path.c_str()) != 0) {
      error = "cannot remove " + path + ": " + ErrorText();
      return false;
    }
    return true;
  }
  if (::unlink(path.c_str()) != 0) {
    error = "cannot remove " + path + ": " + ErrorText();
    return false;
  }
  return true;
}

bool FileState::operator==(const FileState& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modified_ns == other.modified_ns && changed_ns == other.changed_ns;
}

FileState StateOf(const struct stat& info) {
  FileState state;
  state.device = info.st_dev;
  state.inode = info.st_ino;
  state.size = static_cast<uint64_t>(info.st_size);
  state.modified_ns = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
  state.changed_ns = static_cast<int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
  return state;
}

bool OpenRegularFile(const std::string& path, UniqueFd& fd, FileState& state, std::string& error) {
  // No-follow and non-blocking: a link is refused, and a pipe planted in a
  // file's place cannot hold the open.
  fd = UniqueFd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat info;
  if (!fd && errno == ELOOP) {
    error = path + " is a link; publish the file itself";
    return false;
  }
  if (!fd || ::fstat(fd.Get(), &info) != 0) {
    error = "cannot open " + path + ": " + ErrorText();
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    error = path + " is not a regular file (a folder, pipe or device)";
    return false;
  }
  state = StateOf(info);
  return true;
}

}  // namespace FileIo
