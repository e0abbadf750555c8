#include "tools/publisher/publish.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <future>
#include <memory>
#include <set>

#include "base/crc.h"
#include "download/releaselayout.h"
#include "download/releasemanifest.h"
#include "tools/publisher/fileio.h"
#include "tools/publisher/progress.h"
#include "tools/publisher/releaseplan.h"
#include "tools/publisher/signaturecheck.h"

namespace {

int Fail(const std::string& message) {
  std::fprintf(stderr, "publish: %s\n", message.c_str());
  return 1;
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What the output folder already holds: whether this release is live there
// (its CRC info is in place: a host serving the folder serves it), and the
// first path that belongs to no version of this release, which refuses it.
struct ExistingOutput {
  bool live = false;
  std::string foreign;
};

bool Survey(const std::string& out, const HostLayout& layout, const std::vector<ReleaseFile>& files,
            ExistingOutput& existing, std::string& error) {
  struct stat info;
  if (::stat(out.c_str(), &info) != 0) return true;
  if (!S_ISDIR(info.st_mode)) {
    error = out + " is not a folder";
    return false;
  }
  // The top first: a folder full of other things ("--out /") is refused
  // without walking below it.
  const std::string top = layout.Folder().substr(0, layout.Folder().find('/'));
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(out.c_str()), ::closedir);
  if (!dir) {
    error = "cannot list " + out + ": " + FileIo::ErrorText();
    return false;
  }
  while (const dirent* entry = ::readdir(dir.get())) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || FileIo::IsTempName(name)) continue;
    struct stat child;
    const bool folder = ::lstat((out + "/" + name).c_str(), &child) == 0 && S_ISDIR(child.st_mode);
    // The new layout keeps everything in its folder; the old one has
    // nothing but files at the top.
    if (top.empty() ? folder : name != top) {
      existing.foreign = name;
      return true;
    }
  }
  std::vector<std::string> present;
  if (!FileIo::ListFiles(out, present, error)) return false;
  // Parts of the new release's files, and of the live one's.
  std::set<std::string> names;
  for (const ReleaseFile& file : files) names.insert(file.name);
  const std::string crc_info = out + "/" + layout.CrcInfoFile();
  // A link is live too: a host serving the folder follows it.
  if (::stat(crc_info.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
    existing.live = true;
    std::string text;
    if (!FileIo::ReadWholeFile(crc_info, text, error)) return false;
    for (const PartObject& part : PartObjects(layout, ParseCrcInfo(text.data(), text.size()))) {
      names.insert(part.file_name);
    }
  }
  const std::string folder = layout.Folder();
  for (const std::string& path : present) {
    if (FileIo::IsTempName(path) || path == layout.CrcInfoFile()) continue;
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash);
    struct stat entry;
    const bool file = ::lstat((out + "/" + path).c_str(), &entry) == 0 && S_ISREG(entry.st_mode);
    if (!file || dir != folder || PartOf(BaseName(path), names) < 0) {
      existing.foreign = path;
      return true;
    }
  }
  return true;
}

// One part object being written: the CRC of the bytes written is taken,
// read back from the object, on another core while the next part is copied.
struct PartWrite {
  std::string path;
  uint32_t bytes = 0;
  UniqueFd object;
  uint32_t crc = 0;
  // Last, so that it is destroyed first: its destructor waits for the task
  // that uses the members above. False: the object could not be read back.
  std::future<bool> crc_taken;
};

// Cuts one file into its part objects in `dir` and appends its record to
// `text`. Each CRC is of the bytes written, read back from the object, so
// the CRC info always describes its parts; and the source must be the same
// file, unchanged, from its collection to its last part: a file rewritten
// while it is published fails the publish.
bool WriteParts(const std::string& dir, const ReleaseFile& file, std::string& text, uint64_t& done,
                Progress& progress, std::string& error) {
  UniqueFd fd;
  FileIo::FileState state;
  if (!FileIo::OpenRegularFile(file.source, fd, state, error)) return false;
  const std::string changed = file.source +
                              " changed while the release was published; publish "
                              "again once nothing writes to it";
  if (!(state == file.state)) {
    error = changed;
    return false;
  }
  ::posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  text += ";" + file.name + "\r\n" + std::to_string(file.size) + "\r\n";
  const CRC crc;
  std::deque<std::unique_ptr<PartWrite>> pending;
  auto finish = [&]() {
    PartWrite& part = *pending.front();
    if (!part.crc_taken.get()) {
      error = "cannot read back " + part.path;
      return false;
    }
    if (!part.object.Close()) {
      error = "cannot write " + part.path + ": " + FileIo::ErrorText();
      return false;
    }
    text += std::to_string(static_cast<int32_t>(part.crc)) + "\r\n";
    done += part.bytes;
    progress.Report(done, file.name);
    pending.pop_front();
    return true;
  };
  const size_t parts = PartCount(file.size, kPartSize);
  for (size_t k = 0; k < parts; ++k) {
    auto part = std::make_unique<PartWrite>();
    part->bytes = PartBytes(file.size, kPartSize, k);
    part->path = dir + "/" + std::to_string(k) + "_" + file.name;
    // The kernel copies the part into its object as cat does, and the CRC
    // reads the object through a mapping, where the page cache holds it:
    // no copy of our own (a write() from a mapping costs up to four times
    // as much CPU on some runs).
    const uint64_t offset = static_cast<uint64_t>(k) * kPartSize;
    part->object = FileIo::CreateNewFile(part->path, 0644);
    if (!part->object || ::fchmod(part->object.Get(), 0644) != 0 ||
        !FileIo::CopyRange(fd.Get(), offset, part->object.Get(), part->bytes)) {
      error = "cannot write " + part->path + ": " + FileIo::ErrorText();
      return false;
    }
    PartWrite* job = part.get();
    job->crc_taken = std::async(std::launch::async, [&crc, job] {
      const FileMapping written(job->object.Get(), 0, job->bytes);
      if (!written.Valid()) return false;
      job->crc = crc.Compute(written.Data(), job->bytes);
      return true;
    });
    pending.push_back(std::move(part));
    if (pending.size() > 1 && !finish()) return false;
  }
  while (!pending.empty()) {
    if (!finish()) return false;
  }
  struct stat after;
  if (::fstat(fd.Get(), &after) != 0 || !(FileIo::StateOf(after) == file.state)) {
    error = changed;
    return false;
  }
  return true;
}

// Puts the finished release folder `staged` in the place of `target` in one
// step: a host serving `target` sees the old release or the new one, never a
// mix and never nothing. The old one is removed afterwards.
bool SwitchTo(const std::string& staged, const std::string& target, std::string& error) {
  struct stat info;
  if (::lstat(target.c_str(), &info) != 0) {
    if (errno == ENOENT && ::rename(staged.c_str(), target.c_str()) == 0) return true;
    error = "cannot move " + staged + " to " + target + ": " + FileIo::ErrorText();
    return false;
  }
  if (::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
    return FileIo::RemoveTree(staged, error);
  }
  if (errno != EINVAL && errno != ENOSYS) {
    error = "cannot exchange " + staged + " and " + target + ": " + FileIo::ErrorText();
    return false;
  }
  // A file system without the exchange: the old folder steps aside first,
  // so that for a moment nothing is there.
  const std::string old = target + ".old" + FileIo::kTempSuffix;
  if (!FileIo::RemoveTree(old, error)) return false;
  if (::rename(target.c_str(), old.c_str()) != 0 || ::rename(staged.c_str(), target.c_str()) != 0) {
    error = "cannot move " + staged + " to " + target + ": " + FileIo::ErrorText();
    return false;
  }
  return FileIo::RemoveTree(old, error);
}

}  // namespace

int Publish(const PublishOptions& options) {
  const auto start = std::chrono::steady_clock::now();
  std::string problem = NameProblem(options.release, false);
  if (options.release.empty() || !problem.empty()) {
    return Fail("release name \"" + options.release + "\" " +
                (problem.empty() ? "is empty" : problem));
  }
  const HostLayout layout(options.release, options.subdir);
  if (layout.OldLayout()) {
    std::fprintf(
        stderr, "publish: \"%s\" holds \"2_5\": old layout, its objects lie at the host's root%s\n",
        options.release.c_str(), options.subdir.empty() ? "" : " (--subdir is not used)");
  } else {
    if (options.subdir.empty()) return Fail("the host folder (--subdir) is missing");
    for (size_t start_at = 0; start_at <= options.subdir.size();) {
      const size_t slash = std::min(options.subdir.find('/', start_at), options.subdir.size());
      const std::string segment = options.subdir.substr(start_at, slash - start_at);
      problem = segment.empty() ? "has an empty segment" : NameProblem(segment, false);
      if (!problem.empty()) return Fail("host folder \"" + options.subdir + "\" " + problem);
      start_at = slash + 1;
    }
  }

  std::vector<ReleaseFile> files;
  std::string error;
  if (!CollectFiles(options.from, options.files, files, error)) return Fail(error);
  const std::string setup = SetupName(files);
  if (setup.empty() && !options.no_setup) {
    return Fail(
        "the release has no setup program (no name ends in \".exe\", letter case as "
        "written); pass --no-setup if that is intended");
  }
  if (!options.setup_signers.empty()) {
    SignatureCheck signature;
    if (!signature.SetPins(options.setup_signers, error)) return Fail("--setup-signers: " + error);
    if (!options.trusted_roots.empty()) signature.SetTrustedRoots(options.trusted_roots);
    if (setup.empty()) return Fail("--setup-signers is given, but the release has no setup");
    const auto file = std::find_if(files.begin(), files.end(),
                                   [&setup](const ReleaseFile& f) { return f.name == setup; });
    std::string problem;
    if (!signature.Check(file->source, problem)) {
      return Fail("the program would refuse to start this setup: " + problem);
    }
    std::fprintf(stderr, "publish: %s carries a signature the program accepts\n", setup.c_str());
  }

  std::string out = options.out;
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  // The old layout's release folder is the output folder itself.
  if (out.empty() || (layout.Folder().empty() && (BaseName(out) == "." || BaseName(out) == ".."))) {
    return Fail("give the output folder by its name, not \"" + options.out + "\"");
  }
  ExistingOutput existing;
  if (!Survey(out, layout, files, existing, error)) return Fail(error);
  if (!existing.foreign.empty()) {
    return Fail(out + " holds " + existing.foreign + ", which is not part of release " +
                options.release + "; publish into an empty folder");
  }
  const std::string folder = layout.Folder();
  const std::string crc_info_path = out + "/" + layout.CrcInfoFile();
  if (existing.live && !options.replace) {
    return Fail(out + " holds release " + options.release + " already (" + crc_info_path +
                "): a host serving it may have users downloading it, and a release does not "
                "change under them. Publish under a new release name, or pass --replace to "
                "replace it (a host serving the folder then switches to the new release at "
                "once; users in the middle of a download see their parts fail)");
  }
  // The new release is made whole beside the old one's place, then switched in.
  const std::string target = folder.empty() ? out : out + "/" + folder;
  const std::string staged = target + FileIo::kTempSuffix;
  const size_t last_slash = folder.rfind('/');
  if (!FileIo::MakeFolders(out, last_slash == std::string::npos ? "" : folder.substr(0, last_slash),
                           error) ||
      !FileIo::RemoveTree(staged, error)) {
    return Fail(error);
  }
  if (::mkdir(staged.c_str(), 0755) != 0 || ::chmod(staged.c_str(), 0755) != 0) {
    return Fail("cannot create folder " + staged + ": " + FileIo::ErrorText());
  }

  uint64_t total = 0;
  size_t part_count = 0;
  for (const ReleaseFile& file : files) {
    total += file.size;
    part_count += PartCount(file.size, kPartSize);
  }
  std::string text = options.release + "\r\n";
  uint64_t done = 0;
  Progress progress("publish", total);
  for (const ReleaseFile& file : files) {
    if (!WriteParts(staged, file, text, done, progress, error)) {
      std::string ignored;
      FileIo::RemoveTree(staged, ignored);
      return Fail(error);
    }
  }
  const std::string staged_crc_info = staged + "/" + BaseName(layout.CrcInfoFile());
  UniqueFd crc_info = FileIo::CreateNewFile(staged_crc_info, 0644);
  if (!crc_info || ::fchmod(crc_info.Get(), 0644) != 0 ||
      !FileIo::WriteAll(crc_info.Get(), text.data(), text.size()) || !crc_info.Close()) {
    return Fail("cannot write " + staged_crc_info + ": " + FileIo::ErrorText());
  }
  if (!SwitchTo(staged, target, error)) return Fail(error);
  progress.Finish(done);

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr,
               "publish: %zu files, %llu bytes, %zu parts in %.2f s (%.1f MB/s)\n"
               "publish: CRC info %s, setup program %s\n",
               files.size(), static_cast<unsigned long long>(total), part_count, seconds,
               seconds > 0 ? total / 1e6 / seconds : 0.0, crc_info_path.c_str(),
               setup.empty() ? "(none)" : setup.c_str());
  return 0;
}
