#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Where a release lies on the host, in the program's own terms
// (download/releaselayout.h), as narrow paths.
class HostLayout {
 public:
  HostLayout(const std::string& release_name, const std::string& download_subdir);

  bool OldLayout() const { return old_layout_; }
  const std::string& CrcInfoName() const { return crc_info_name_; }
  // The object paths exactly as the program requests them.
  std::string CrcInfoRequest() const;
  std::string PartRequest(const std::string& file_name, size_t part) const;
  // The same objects as paths in a published folder: empty segments gone.
  std::string CrcInfoFile() const { return ToFilePath(CrcInfoRequest()); }
  std::string PartFile(const std::string& file_name, size_t part) const {
    return ToFilePath(PartRequest(file_name, part));
  }
  // The folder, relative to the published folder, that holds every object.
  std::string Folder() const;

  static std::string ToFilePath(const std::string& request);

 private:
  std::string crc_info_name_;
  std::string path_prefix_;
  std::string download_subdir_;
  bool old_layout_ = false;
};

struct ReleaseFile {
  std::string source;  // where it is read from
  std::string name;    // its name on the host
  uint64_t size = 0;
};

// Why the program would not take `name` as a host file name (or, without
// `host_file`, as a release or folder name), or empty when it would.
std::string NameProblem(const std::string& name, bool host_file);

// The release's files, from a folder (every file directly in it, sorted) or
// a list, each checked: a name the program takes, less than 4 GiB, no name
// twice. False, with `error`, on the first problem.
bool CollectFiles(const std::string& folder, const std::vector<std::string>& list,
                  std::vector<ReleaseFile>& files, std::string& error);

// The setup program the program will start: the last file whose name ends
// in ".exe" (compared as the program does, case and all); empty if none.
std::string SetupName(const std::vector<ReleaseFile>& files);
