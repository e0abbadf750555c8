#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/blockio.h"
#include "base/scopedhandle.h"
#include "base/stoptoken.h"
#include "download/downloadprogress.h"
#include "download/filesystemwatcher.h"
#include "download/listingcache.h"
#include "download/releaselayout.h"
#include "download/releasemanifest.h"

// The release's files on disk: checks the parts and final files against the
// CRC info, merges a file's parts into its final file, and deletes our own
// files so that the folder watcher does not take the deletions for someone
// else's. Files are read in slices of 2 MiB with the CRC continued over
// them; the long disk work ends between slices when a stop is asked for.
class PartStore {
 public:
  PartStore(const ReleaseLayout& layout, FileSystemWatcher& watcher, ProgressCounters& progress,
            StopToken stop);

  // Deletes what a run that was killed left under temporary names in the
  // download folder: parts cut short.
  void RemoveTemporaryFiles();
  // Lists the program folder, once per attempt: the final files that were
  // not there are then known absent without a look-up each.
  void ListFinalFiles();
  // The CRC-32 of the whole file at `path` equals `expected`.
  bool CRCCheckFile(const std::wstring& path, int32_t expected);
  // The parts of `record` already on disk and correct count as done and
  // reused; a wrong one is deleted. `missing` gets the parts to fetch; false
  // when a stop came first.
  bool CheckParts(const ManifestFile& record, const std::wstring& local,
                  std::vector<size_t>& missing);
  // True when the final file exists; its bytes then count as reused.
  bool FinalFileExists(const ManifestFile& record, const std::wstring& local);
  // The total of the release, and the final files already there as done.
  void CountFinalFiles(const ReleaseManifest& records);
  // Every part file of the record is there with its size (a log entry for
  // the first that is not).
  bool PartsComplete(const ManifestFile& record, const std::wstring& local) const;

  enum class MergeResult { kMerged, kFailed, kNotSaved, kStopped };
  // The parts into the final file (partstore_merge.cpp); the parts go only
  // once the whole file is written. `shown`: the merge's progress is the
  // read-out's.
  MergeResult Merge(const ManifestFile& record, const std::wstring& local, bool shown);
  // Checks the final file part by part; a wrong one is deleted and its
  // bytes taken out of the done count.
  bool CheckFinalFile(const ManifestFile& record, const std::wstring& local);

  bool DeleteOwnFile(const std::wstring& path);

 private:
  enum class SliceResult { kRead, kReadFailed, kStopped, kSinkFailed };
  // Gets every slice read; false when it could not take it.
  using SliceSink = std::function<bool(const uint8_t* bytes, DWORD size)>;
  // Reads up to `limit` bytes of `file` from its position, or to its end,
  // continuing `crc` over them and handing each slice to `sink` when given.
  // `read` counts the bytes read.
  SliceResult ReadSlices(HANDLE file, uint64_t limit, uint32_t& crc, uint64_t& read,
                         const SliceSink& sink = nullptr);
  // A file of ours for reading; a hold by another program is waited out.
  UniqueHandle OpenOwnFile(const std::wstring& path);
  // CRCCheckFile of a file already open.
  bool CRCCheckOpenFile(HANDLE file, const std::wstring& path, int32_t expected);

  const ReleaseLayout& layout;
  FileSystemWatcher& watcher;
  ProgressCounters& progress;
  StopToken stop;
  ListingCache final_names;
  // The slice of the part checks, merges and verification, kept between
  // them: a fresh block costs a page fault on every 4 KiB of the first read
  // into it. One slice rather than a whole part keeps 8 MB fewer resident
  // for the whole run.
  BlockBuffer block_buffer;
};
