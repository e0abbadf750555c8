#include "tools/publisher/publish.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <future>
#include <set>

#include "base/crc.h"
#include "download/crcinfo.h"
#include "download/releaselayout.h"
#include "tools/publisher/fileio.h"
#include "tools/publisher/progress.h"
#include "tools/publisher/releaseplan.h"
#include "tools/publisher/signaturecheck.h"

namespace {

int Fail(const std::string& message) {
  std::fprintf(stderr, "publish: %s\n", message.c_str());
  return 1;
}

// The part number of `base` when it is "<k>_<name>" for a name of the
// release; -1 otherwise.
long PartOf(const std::string& base, const std::set<std::string>& names) {
  size_t digits = 0;
  while (digits < base.size() && std::isdigit(static_cast<unsigned char>(base[digits]))) ++digits;
  if (digits == 0 || digits > 9 || digits >= base.size() || base[digits] != '_') return -1;
  return names.count(base.substr(digits + 1)) ? std::stol(base.substr(0, digits)) : -1;
}

// What the output folder already holds, sorted into this release's own
// objects (a re-publish replaces them) and anything else, which refuses it.
struct ExistingOutput {
  std::vector<std::string> stale;  // this release's objects and leftovers
  std::string foreign;             // the first path of anything else
};

bool Survey(const std::string& out, const HostLayout& layout, const std::vector<ReleaseFile>& files,
            ExistingOutput& existing, std::string& error) {
  struct stat info;
  if (::stat(out.c_str(), &info) != 0) return true;
  if (!S_ISDIR(info.st_mode)) {
    error = out + " is not a folder";
    return false;
  }
  std::vector<std::string> present;
  if (!FileIo::ListFiles(out, present, error)) return false;
  std::set<std::string> names;
  for (const ReleaseFile& file : files) names.insert(file.name);
  const std::string folder = layout.Folder();
  for (const std::string& path : present) {
    std::string own = path;
    if (FileIo::IsTempName(own)) own.resize(own.size() - (sizeof FileIo::kTempSuffix - 1));
    const size_t slash = own.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : own.substr(0, slash);
    const std::string base = own.substr(slash == std::string::npos ? 0 : slash + 1);
    if (own == layout.CrcInfoFile() || (dir == folder && PartOf(base, names) >= 0)) {
      existing.stale.push_back(path);
    } else if (existing.foreign.empty()) {
      existing.foreign = path;
    }
  }
  return true;
}

// Cuts one file into its part objects and appends its record to `text`.
// The parts are written in place: until the CRC info names them, no host
// serves them, and a publish that is cut short writes no CRC info.
bool WriteParts(const std::string& out, const HostLayout& layout, const ReleaseFile& file,
                std::string& text, uint64_t& done, Progress& progress, std::string& error) {
  UniqueFd fd(::open(file.source.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info;
  if (!fd || ::fstat(fd.Get(), &info) != 0) {
    error = "cannot open " + file.source + ": " + FileIo::ErrorText();
    return false;
  }
  if (static_cast<uint64_t>(info.st_size) != file.size) {
    error = file.source + " changed its size while the release was published";
    return false;
  }
  ::posix_fadvise(fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  text += ";" + file.name + "\r\n" + std::to_string(file.size) + "\r\n";
  const CRC crc;
  const size_t parts = PartCount(file.size, kPartSize);
  for (size_t k = 0; k < parts; ++k) {
    const uint32_t bytes = PartBytes(file.size, kPartSize, k);
    // The CRC reads the part through a mapping, where the page cache holds
    // it, and the kernel copies it into its object as cat does: no copy of
    // our own (a write() from the mapping costs up to four times as much
    // CPU on some runs).
    const FileMapping part(fd.Get(), static_cast<uint64_t>(k) * kPartSize, bytes);
    if (!part.Valid()) {
      error = "cannot read " + file.source + ": " + FileIo::ErrorText();
      return false;
    }
    // On another core where there is one, beside the copy.
    std::future<uint32_t> value = std::async(
        std::launch::async, [&crc, &part, bytes] { return crc.Compute(part.Data(), bytes); });
    const std::string path = out + "/" + layout.PartFile(file.name, k);
    UniqueFd object(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!object ||
        !FileIo::CopyRange(fd.Get(), static_cast<uint64_t>(k) * kPartSize, object.Get(), bytes,
                           part.Data()) ||
        !object.Close()) {
      error = "cannot write " + path + ": " + FileIo::ErrorText();
      return false;
    }
    text += std::to_string(static_cast<int32_t>(value.get())) + "\r\n";
    done += bytes;
    progress.Report(done, file.name);
  }
  return true;
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

  ExistingOutput existing;
  if (!Survey(options.out, layout, files, existing, error)) return Fail(error);
  if (!existing.foreign.empty()) {
    return Fail(options.out + " holds " + existing.foreign + ", which is not part of release " +
                options.release + "; publish into an empty folder");
  }
  if (!FileIo::MakeFolders(options.out + (layout.Folder().empty() ? "" : "/" + layout.Folder()),
                           error)) {
    return Fail(error);
  }
  // The old CRC info goes first, so that no host serves it beside parts of
  // the new release.
  const std::string crc_info_path = options.out + "/" + layout.CrcInfoFile();
  if (::unlink(crc_info_path.c_str()) != 0 && errno != ENOENT) {
    return Fail("cannot remove the old " + crc_info_path + ": " + FileIo::ErrorText());
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
  std::set<std::string> written;
  for (const ReleaseFile& file : files) {
    if (!WriteParts(options.out, layout, file, text, done, progress, error)) return Fail(error);
    for (size_t k = 0; k < PartCount(file.size, kPartSize); ++k) {
      written.insert(layout.PartFile(file.name, k));
    }
  }
  // Parts a re-published file no longer has, and leftovers of a killed run.
  for (const std::string& path : existing.stale) {
    if (!written.count(path)) ::unlink((options.out + "/" + path).c_str());
  }
  if (!FileIo::WriteFileAtomically(crc_info_path, text.data(), text.size(), error)) {
    return Fail(error);
  }
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
