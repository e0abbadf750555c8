#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "download/releasemanifest.h"
#include "tools/publisher/fileio.h"

// Names pass between the tools and the program only as ASCII (the program
// reads the CRC info in the user's ANSI code page, and only in ASCII do all
// code pages agree): these convert, a character past ASCII becoming '?'.
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

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

// One part object a CRC info names.
struct PartObject {
  std::string file_name;  // the release file it is a part of
  size_t index = 0;
  std::string request;  // its path as the program requests it
  std::string path;     // its path in a published folder
  uint32_t size = 0;
  int32_t crc = 0;
};

// Every part object that `records` name, in order.
std::vector<PartObject> PartObjects(const HostLayout& layout, const ReleaseManifest& records);

// The part number of the object name `base` when it is "<k>_<name>" for one
// of `names`; -1 otherwise.
long PartOf(const std::string& base, const std::set<std::string>& names);

struct ReleaseFile {
  std::string source;  // where it is read from
  std::string name;    // its name on the host
  uint64_t size = 0;
  FileIo::FileState state;  // when it was collected
};

// Why the program would not take `name` as a host file name (or, without
// `host_file`, as a release or folder name), or empty when it would.
std::string NameProblem(const std::string& name, bool host_file);

// The release's files, from a folder (every file directly in it, sorted) or
// a list, each checked: a regular file (no link), a name the program takes,
// from 1 byte to less than 4 GiB, no name twice. False, with `error`, on the first problem.
bool CollectFiles(const std::string& folder, const std::vector<std::string>& list,
                  std::vector<ReleaseFile>& files, std::string& error);

// The setup program the program will start: the last file whose name ends
// in ".exe" (compared as the program does, case and all); empty if none.
std::string SetupName(const std::vector<ReleaseFile>& files);
