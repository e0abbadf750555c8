#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/blockfile.h"
#include "base/stoptoken.h"
#include "download/crcinfo.h"
#include "download/downloadprogress.h"
#include "download/filesystemwatcher.h"
#include "download/releaselayout.h"

// The release's files on disk: checks the parts and final files against the
// CRC info, merges a file's parts into its final file, and deletes our own
// files so that the folder watcher does not take the deletions for someone
// else's. The long disk work ends between blocks when a stop is asked for.
class PartStore {
 public:
  PartStore(const ReleaseLayout& layout, FileSystemWatcher& watcher, ProgressCounters& progress,
            StopToken stop);

  // The CRC-32 of the whole file at `path` equals `expected`.
  bool CRCCheckFile(const std::wstring& path, int32_t expected);
  // The parts of `record` already on disk and correct count as done and
  // reused; a wrong one is deleted. `missing` gets the parts to fetch; false
  // when a stop came first.
  bool CheckParts(const FileRecord& record, const std::wstring& local,
                  std::vector<size_t>& missing);
  // True when the final file exists; its bytes then count as reused.
  bool CountExistingFinal(const FileRecord& record, const std::wstring& local);
  // The total of the release, and the final files already there as done.
  void CountFinalFiles(const CrcInfo& records);
  // Every part file of the record is there with its size (a log entry for
  // the first that is not).
  bool PartsComplete(const FileRecord& record, const std::wstring& local) const;

  enum class MergeResult { kMerged, kFailed, kNotSaved, kStopped };
  // The parts into the final file (merge.cpp); the parts go only once the
  // whole file is written.
  MergeResult Merge(const FileRecord& record, const std::wstring& local);
  // Checks the final file block by block; a wrong one is deleted and its
  // bytes taken out of the done count.
  bool CheckFinalFile(const FileRecord& record, const std::wstring& local);

  bool DeleteOwnFile(const std::wstring& path);

 private:
  const ReleaseLayout& layout;
  FileSystemWatcher& watcher;
  ProgressCounters& progress;
  StopToken stop;
  // Blocks of the part checks, merges and verification, kept between them:
  // a fresh 10 MB block costs a page fault on every 4 KiB of the first read
  // into it.
  BlockBuffer block_buffer;
};
