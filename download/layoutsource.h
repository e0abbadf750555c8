#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/stoptoken.h"
#include "download/releaselayout.h"
#include "download/releasemanifest.h"

// A layout: a folder that holds a release's files under their local names,
// verified, with the release's CRC info beside them, for installs without
// the host (an administrator makes one with /layout and copies it to
// offline machines). This class makes a run use one:
//  - installing from a layout, the CRC info is the layout's, and each part
//    of a file comes from the layout when its CRC is right; only what is
//    wrong or missing is left to the host;
//  - making a layout, the program folder is the layout: the parts of its
//    files that are right are kept, so that a second run completes or
//    repairs it by fetching only what is wrong;
//  - at the end of a layout run the CRC info and the program are put
//    beside the files.
class LayoutSource {
 public:
  // Deletes a file of the run's own (the folder watcher is told first).
  using DeleteOwnFile = std::function<bool(const std::wstring&)>;

  LayoutSource(const ReleaseLayout& layout, StopToken stop) : layout(layout), stop(stop) {}

  // `folder`: the layout to install from, empty for none. `make_layout`:
  // the program folder is a layout being made.
  void Set(const std::wstring& folder, bool make_layout);
  bool InstallsFromLayout() const { return !folder_.empty(); }
  bool MakesLayout() const { return make_layout_; }

  // Whether `folder` holds a layout of the release whose CRC info is named
  // `crc_info_name`.
  static bool Holds(const std::wstring& folder, const std::wstring& crc_info_name);

  // The layout's CRC info, zero bytes removed; false (logged once) when it
  // cannot be read, and the host's is to be used.
  bool ReadCrcInfo(std::string& copy);

  // Before the parts of `record` are queued: a final file that is right is
  // kept; otherwise every part missing from the download folder is written
  // there from the first file that holds it right (the final file, then
  // the layout's), and the final file goes. Parts still missing are the
  // host's. Logs what it took from where.
  void Prepare(const ManifestFile& record, const DeleteOwnFile& delete_own);

  // The end of a layout run: the CRC info the files were verified against
  // and a copy of the program, beside the files. False, logged, when either
  // cannot be written.
  bool Finish(const std::string& crc_info, const std::wstring& program_path);

 private:
  // Part k of the file at `path` when its CRC is right; false otherwise.
  bool ReadPart(const std::wstring& path, const ManifestFile& record, size_t part,
                std::vector<uint8_t>& bytes) const;
  // Writes a part file under a temporary name, then renames it.
  bool WritePart(const std::wstring& path, const std::vector<uint8_t>& bytes) const;
  std::wstring LayoutPath(const std::wstring& local_name) const;

  const ReleaseLayout& layout;
  StopToken stop;
  std::wstring folder_;
  bool make_layout_ = false;
  bool crc_info_failure_logged_ = false;
  bool crc_info_read_logged_ = false;
};
