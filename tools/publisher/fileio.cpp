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
  return path.size() >= length && path.compare(path.size() - length, length, kTempSuffix) == 0;
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

bool WriteFileAtomically(const std::string& path, const void* data, size_t size,
                         std::string& error) {
  const std::string temp = path + kTempSuffix;
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) {
    error = "cannot create " + temp + ": " + ErrorText();
    return false;
  }
  if (!WriteAll(fd.Get(), data, size) || !fd.Close()) {
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

bool CopyRange(int in, uint64_t offset, int out, size_t size, const char* same_bytes) {
  loff_t from = static_cast<loff_t>(offset);
  size_t done = 0;
  while (done < size) {
    const ssize_t copied = ::copy_file_range(in, &from, out, nullptr, size - done, 0);
    if (copied < 0 && errno == EINTR) continue;
    if (copied < 0 &&
        (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
      return WriteAll(out, same_bytes + done, size - done);
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
    if (::stat((root + "/" + child).c_str(), &info) != 0) {
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

bool MakeFolders(const std::string& folder, std::string& error) {
  for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string part = folder.substr(0, slash);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      error = "cannot create folder " + part + ": " + ErrorText();
      return false;
    }
    if (slash == std::string::npos) return true;
  }
}

}  // namespace FileIo
