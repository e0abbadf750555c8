#include "tools/publisher/releaseplan.h"

#include <sys/stat.h>

#include <cctype>
#include <set>

#include "download/localnames.h"
#include "download/releaselayout.h"
#include "tools/publisher/fileio.h"

namespace {

// Names pass to the program only as ASCII: it reads the CRC info in the
// user's ANSI code page, and only in ASCII do all code pages agree.
std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (const wchar_t c : text) narrow += static_cast<char>(c);
  return narrow;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

constexpr uint64_t kMaxFileSize = 0xFFFFFFFFull;

}  // namespace

HostLayout::HostLayout(const std::string& release_name, const std::string& download_subdir) {
  crc_info_name_ = release_name + ".txt";
  std::wstring prefix;
  std::wstring subdir = Widen(download_subdir);
  old_layout_ = ApplyOldLayout(Widen(crc_info_name_), prefix, subdir);
  path_prefix_ = Narrow(prefix);
  download_subdir_ = Narrow(RequestedFolder(subdir));
}

std::string HostLayout::CrcInfoRequest() const {
  return Narrow(CrcInfoObjectPath(Widen(download_subdir_), Widen(crc_info_name_)));
}

std::string HostLayout::PartRequest(const std::string& file_name, size_t part) const {
  return Narrow(
      PartObjectPath(Widen(path_prefix_), Widen(download_subdir_), part, Widen(file_name)));
}

std::string HostLayout::Folder() const {
  const std::string file = CrcInfoFile();
  const size_t slash = file.rfind('/');
  return slash == std::string::npos ? std::string() : file.substr(0, slash);
}

std::string HostLayout::ToFilePath(const std::string& request) {
  std::string path;
  for (const char c : request) {
    if (c == '/' && (path.empty() || path.back() == '/')) continue;
    path += c;
  }
  return path;
}

std::string NameProblem(const std::string& name, bool host_file) {
  for (const char c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) return "holds a non-ASCII character, which each code page reads differently";
    // Request paths carry any name escaped, but ";" and line ends would cut
    // the CRC info's records, and some hosts read a "+" in a path as a blank.
    if (c == '+' || c == ';') {
      return std::string("holds '") + c + "', which a request path or the CRC info cannot carry";
    }
  }
  std::wstring local;
  if (!IsSafeFileName(Widen(name))) {
    return "is no safe file name (separators, \"..\", colons, device names, characters Windows "
           "forbids, a trailing dot or blank)";
  }
  if (host_file && !MakeLocalName(Widen(name), L"_", local)) {
    return "is too short for a local name (at least 4 characters with \".exe\", 7 without)";
  }
  return std::string();
}

bool CollectFiles(const std::string& folder, const std::vector<std::string>& list,
                  std::vector<ReleaseFile>& files, std::string& error) {
  std::vector<std::string> sources;
  if (!folder.empty()) {
    std::vector<std::string> names;
    if (!FileIo::ListFiles(folder, names, error)) return false;
    for (const std::string& name : names) {
      if (name.find('/') != std::string::npos) {
        error = "the release folder has a subfolder (" + name.substr(0, name.find('/')) +
                "); the program fetches one flat list of files";
        return false;
      }
      sources.push_back(folder + "/" + name);
    }
  }
  sources.insert(sources.end(), list.begin(), list.end());

  std::set<std::string> seen;
  for (const std::string& source : sources) {
    ReleaseFile file;
    file.source = source;
    file.name = source.substr(source.rfind('/') == std::string::npos ? 0 : source.rfind('/') + 1);
    const std::string problem = NameProblem(file.name, true);
    if (!problem.empty()) {
      error = "file name \"" + file.name + "\" " + problem;
      return false;
    }
    // The user's disk folds case: two such names would be one file there.
    if (!seen.insert(Lower(file.name)).second) {
      error = "file name \"" + file.name + "\" is there twice (letter case aside)";
      return false;
    }
    struct stat info;
    if (::stat(source.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
      error = "cannot read " + source + " as a file: " + FileIo::ErrorText();
      return false;
    }
    file.size = static_cast<uint64_t>(info.st_size);
    if (file.size > kMaxFileSize) {
      error = "file " + source + " has " + std::to_string(file.size) +
              " bytes; the CRC info's size is 32-bit, so a file must stay below 4 GiB";
      return false;
    }
    files.push_back(file);
  }
  if (files.empty()) {
    error = "the release has no files";
    return false;
  }
  return true;
}

std::string SetupName(const std::vector<ReleaseFile>& files) {
  std::string setup;
  for (const ReleaseFile& file : files) {
    const std::string& name = file.name;
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".exe") == 0) setup = name;
  }
  return setup;
}
