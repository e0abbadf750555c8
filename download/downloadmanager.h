#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/blockfile.h"
#include "base/criticalsection.h"
#include "base/orvthread.h"
#include "base/scopedhandle.h"
#include "download/crcinfo.h"
#include "download/diskspace.h"
#include "download/filesystemwatcher.h"
#include "download/idmlistener.h"
#include "download/shell.h"
#include "net/filedownload.h"

// Where a release lies on the download host. SAS (the access signature) is
// appended to every request and never written to the log.
struct ReleaseDescriptor {
  std::wstring host_name;
  std::wstring download_subdir;
  std::wstring product_code;
  std::wstring SAS;
};

// Turns one release into files on disk and starts its setup: fetches the CRC
// info, downloads every missing part with one FileDownload worker at a time,
// merges the parts into final files, verifies them and repeats the attempt
// up to eight times. Runs on its own thread; the byte counters and phase
// flags may be read from any thread.
//
// The operations are spread over file pairs by concern: names and state
// here, the run in downloadrun.cpp, the CRC info and checks in
// crcverify.cpp, merging and the setup start in merge.cpp.
class DownloadManager : public Orv_Thread, public IDownloadListener {
 public:
  static constexpr int kMaxAttempts = 8;
  // A host that never sends the same CRC info twice in a row fails the fetch
  // after this many disagreeing pairs of copies.
  static constexpr int kMaxCrcInfoPairs = 5;
  // How long the close waits for the log service, whatever it does.
  static constexpr DWORD kLogUploadDeadlineMs = 10000;

  explicit DownloadManager(IDMListener* listener);
  ~DownloadManager() override;

  // Before StartDownload.
  void SetRelease(const ReleaseDescriptor& release);
  void SetSupportCenterUrl(const std::wstring& url) { support_center_url = url; }
  // The maker's log service, as a full URL; empty sends no log.
  void SetLogServiceUrl(const std::wstring& url) { log_service_url = url; }
  // Null puts the system's shell back.
  void SetShell(IShell* shell) { this->shell = shell ? shell : &SystemShell::Instance(); }
  // Null puts the system's free-space query back.
  void SetDiskSpace(IDiskSpace* disk_space) {
    this->disk_space = disk_space ? disk_space : &SystemDiskSpace::Instance();
  }

  // Stores the values (Configure) and starts the run's thread; returns at
  // once.
  void StartDownload(const std::wstring& default_host, const std::wstring& path_prefix,
                     const std::wstring& crc_info_name, const std::wstring& download_folder,
                     const std::wstring& program_folder);
  void Configure(const std::wstring& default_host, const std::wstring& path_prefix,
                 const std::wstring& crc_info_name, const std::wstring& download_folder,
                 const std::wstring& program_folder);
  // Ends the run and every worker; returns when all have ended.
  void StopDownload();
  // At close, after StopDownload: posts the log, gzip-compressed through
  // logfile.gz in the download folder (or, when that cannot be written, a
  // file in the user's temporary folder), to the log service, and writes
  // logfile.txt beside the program when the log holds an error. A run that
  // started the setup removed that folder and sends nothing. Returns when
  // the upload has ended, or has been abandoned after kLogUploadDeadlineMs
  // (logupload.cpp).
  void PostLogFile();
  // Pauses or resumes the whole download: the manager's own state, applied
  // to every worker it holds or creates later. Returns the new state.
  bool TogglePause();
  bool IsPaused() const { return paused.load(std::memory_order_relaxed); }

  // Read by the progress display and the speed meter on their own threads.
  uint64_t TotalBytes() const { return total_bytes.load(std::memory_order_relaxed); }
  uint64_t BytesDone() const { return bytes_done.load(std::memory_order_relaxed); }
  uint64_t BytesInProgress() const { return bytes_in_progress.load(std::memory_order_relaxed); }
  uint64_t BytesVerified() const { return bytes_verified.load(std::memory_order_relaxed); }
  uint64_t BytesReused() const { return bytes_reused.load(std::memory_order_relaxed); }
  uint64_t MergePercent() const { return merge_percent.load(std::memory_order_relaxed); }
  bool IsMerging() const { return merging.load(std::memory_order_relaxed); }
  bool IsVerifying() const { return verifying.load(std::memory_order_relaxed); }

  // IDownloadListener, called on the workers' threads.
  void OnDownloadFinished(FileDownload* download) override;
  void OnDownloadProgress(FileDownload* download) override;

  // The steps of an attempt. They run on the manager's thread; they are
  // public so that tests can drive them one by one.
  // kReleaseGone: the host answered 404 for the CRC info (already reported);
  // kIncomplete: the CRC info named files that cannot be fetched.
  enum class VerifyResult { kPassed, kFailed, kStopped, kReleaseGone, kIncomplete };
  bool FetchCrcInfo(CrcInfo& records);
  bool CRCCheckFile(const std::wstring& path, int32_t expected);
  bool CheckFileFromCRCInfo(const FileRecord& record);
  VerifyResult VerifyAll();
  void ComputeTotals(const CrcInfo& records);
  void DownloadFileFromCRCInfo(const FileRecord& record);
  void MergeParts(const FileRecord& record);
  void LaunchSetup(const std::wstring& setup_path);
  bool DeleteOwnFile(const std::wstring& path);

  // Names of a record; false (and a log entry) when no safe local name exists.
  bool LocalName(const FileRecord& record, std::wstring& local) const;
  std::wstring PartPath(const std::wstring& local_name, size_t part) const;
  std::wstring FinalPath(const std::wstring& local_name) const;
  std::wstring PartObjectPath(const FileRecord& record, size_t part) const;
  // Bytes in part k of a record: part_size, less for the last part.
  uint32_t PartBytes(const FileRecord& record, size_t part) const;

 protected:
  void Run() override;

 private:
  struct Worker {
    std::unique_ptr<FileDownload> download;
    bool started = false;
    // Owned by the worker; signalled when its thread has ended.
    HANDLE thread = nullptr;
  };

  void RunAttempts();
  void GiveUp();
  // A release with files that cannot be fetched is never installed.
  void RefuseIncompleteRelease();
  // The give-up message and the support-centre page.
  void SendToSupport();
  void OpenSupportCenter();
  // The compressed log to the log service, within kLogUploadDeadlineMs.
  void SendLog(const ByteBuffer& compressed);
  void WriteReadableLog();
  // Something cannot be saved: the user is told once and sent to the
  // support centre, and the run fetches nothing more.
  void ReportSaveFailure();
  // Records a log entry for each piece of the CRC info that gives no record
  // (fewer than two lines); returns how many.
  size_t ReportPiecesWithoutRecord(const std::string& text) const;
  // Drops the records whose names are unusable or repeat an earlier
  // record's, with a log entry for each; returns how many.
  size_t DropUnsafeRecords(CrcInfo& records) const;
  // Every part file of the record is there with its size (a log entry for
  // the first that is not).
  bool PartsComplete(const FileRecord& record, const std::wstring& local) const;
  // False, with a log entry, when the volume of `folder` has less than
  // `bytes` free.
  bool HasRoom(const std::wstring& folder, uint64_t bytes);
  // Room in both folders for what the run still has to write.
  bool HasRoomForRelease(const CrcInfo& records);
  static bool FileSize(const std::wstring& path, uint64_t& size);
  // The long disk work (part checks, merge, verification) asks between
  // blocks whether StopDownload wants the run to end.
  bool StopRequested() const { return ::WaitForSingleObject(stop_event.Get(), 0) == WAIT_OBJECT_0; }
  // Downloads one copy of the CRC info (zero bytes removed) and the host's
  // status; false when the manager was stopped meanwhile.
  bool FetchCrcInfoCopy(const std::wstring& object_path, std::string& copy, uint32_t& status);
  void CreateWorkers(const FileRecord& record, const std::wstring& local);
  // True when every worker of the file has ended; false when the run was
  // stopped or a write failed first.
  bool WaitForWorkers();
  // Under workers_lock: starts the first worker not yet started, unless one
  // is still running, a write failed or the download is paused.
  void StartNextWorker();
  bool AllWorkersFinished();
  // Once a file's workers have all ended: frees them before the next file.
  void ReleaseWorkers();
  // Under workers_lock: bytes received by the workers still receiving.
  void RecountInProgress();
  void WatchDownloadFolder();
  void SubtractDone(uint64_t bytes);

  const uint32_t part_size = kPartSize;
  // Blocks of the part checks, merges and verification, kept between them:
  // a fresh 10 MB block costs a page fault on every 4 KiB of the first read
  // into it.
  BlockBuffer block_buffer;
  std::wstring default_host;
  std::wstring crc_info_name;
  std::wstring current_file;
  std::wstring path_prefix;
  std::wstring program_folder;
  std::wstring download_folder;
  std::wstring product_code;
  std::wstring local_name_suffix;
  std::wstring download_subdir;
  std::wstring host_name;
  std::wstring SAS;
  std::wstring support_center_url;
  std::wstring log_service_url;
  // The old layout moves the prefix into the folder once, at the first fetch;
  // doing it again would empty the folder.
  bool old_layout_applied = false;
  // The watcher is started once per run: a folder that cannot be watched
  // would otherwise restart it at every look, each time with a log record.
  bool watch_started = false;

  // The workers of the file being downloaded.
  std::vector<Worker> workers;
  CriticalSection workers_lock;
  // Set by StopDownload after the running flag has cleared, reset by the
  // next start: every wait of the run includes it.
  UniqueHandle stop_event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  // Set when a paused download resumes, so that a run waiting for the next
  // worker to start wakes up.
  UniqueHandle resume_event{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  FileSystemWatcher watcher;

  std::atomic<uint64_t> total_bytes{0};
  std::atomic<uint64_t> bytes_done{0};
  std::atomic<uint64_t> bytes_in_progress{0};
  std::atomic<uint64_t> merge_percent{0};
  std::atomic<uint64_t> bytes_verified{0};
  std::atomic<uint64_t> bytes_reused{0};

  IDMListener* listener;
  IShell* shell = &SystemShell::Instance();
  IDiskSpace* disk_space = &SystemDiskSpace::Instance();
  // Records of the last CRC info fetched that were left out.
  size_t dropped_records = 0;
  std::atomic<bool> merging{false};
  std::atomic<bool> verifying{false};
  std::atomic<bool> save_failure_reported{false};
  // Written under workers_lock, so that it and the workers' flags agree.
  std::atomic<bool> paused{false};
  // The shell took the setup; the download folder is gone with the log's
  // place.
  std::atomic<bool> setup_started{false};
  // A part file could not be written: no further part is fetched in this run.
  std::atomic<bool> write_failed{false};
};
