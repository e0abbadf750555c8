#include "tools/publisher/releaseplan.h"

#include <cctype>
#include <set>

#include "download/localnames.h"
#include "download/releaselayout.h"
#include "tools/publisher/fileio.h"

std::wstring Widen(const std::string& text) {
  std::wstring wide;
  for (const char c : text) wide += static_cast<unsigned char>(c) < 0x80 ? c : L'?';
  return wide;
}

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (const wchar_t c : text) narrow += c >= 0 && c < 0x80 ? static_cast<char>(c) : '?';
  return narrow;
}

namespace {

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

std::vector<PartObject> PartObjects(const HostLayout& layout, const ReleaseManifest& records) {
  std::vector<PartObject> parts;
  for (const ManifestFile& record : records) {
    const std::string name = Narrow(record.host_name);
    for (size_t k = 0; k < record.part_crcs.size(); ++k) {
      PartObject part;
      part.file_name = name;
      part.index = k;
      part.request = layout.PartRequest(name, k);
      part.path = HostLayout::ToFilePath(part.request);
      part.size = PartBytes(record.size, kPartSize, k);
      part.crc = record.part_crcs.at(k);
      parts.push_back(part);
    }
  }
  return parts;
}

long PartOf(const std::string& base, const std::set<std::string>& names) {
  size_t digits = 0;
  while (digits < base.size() && base[digits] >= '0' && base[digits] <= '9') ++digits;
  if (digits == 0 || digits > 9 || digits >= base.size() || base[digits] != '_') return -1;
  return names.count(base.substr(digits + 1)) ? std::stol(base.substr(0, digits)) : -1;
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
    UniqueFd fd;
    if (!FileIo::OpenRegularFile(source, fd, file.state, error)) return false;
    file.size = file.state.size;
    // The program fetches a file part by part, and an empty file has none:
    // it would never be delivered, and every user would end at support.
    if (file.size == 0) {
      error = "file " + source +
              " is empty; the program cannot deliver a file of 0 bytes, so leave it out "
              "of the release";
      return false;
    }
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
