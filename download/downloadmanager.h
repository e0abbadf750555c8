#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/orvthread.h"
#include "base/runstop.h"
#include "download/crcinfosource.h"
#include "download/downloadprogress.h"
#include "download/filesystemwatcher.h"
#include "download/freespacecheck.h"
#include "download/freespacequery.h"
#include "download/idmlistener.h"
#include "download/layoutsource.h"
#include "download/logupload.h"
#include "download/partstore.h"
#include "download/releaselayout.h"
#include "download/releasemanifest.h"
#include "download/runend.h"
#include "download/setupsignature.h"
#include "download/setupstart.h"
#include "download/shell.h"
#include "download/workerchain.h"
#include "net/filedownload.h"

// A further host of the same release: its folder and access signature.
struct MirrorDescriptor {
  std::wstring host_name;
  std::wstring download_subdir;
  std::wstring SAS;
};

// Where a release lies on the download host, and on the further hosts that
// serve it too, in order. SAS (the access signature) is appended to every
// request and never written to the log.
struct ReleaseDescriptor {
  std::wstring host_name;
  std::wstring download_subdir;
  std::wstring product_code;
  std::wstring SAS;
  std::vector<MirrorDescriptor> mirrors{};
};

// Turns one release into files on disk and starts its setup: fetches the CRC
// info, downloads every missing part with FileDownload workers, several at
// once,
// merges the parts into final files, verifies them and repeats the attempt
// up to eight times. Runs on its own thread; its progress may be read from
// any thread. The run has one stop (RunStop), made with the manager and
// shared by everything that works for the run: once stopped, a manager
// does not run again.
//
// The operations hand off to parts, one job each: the names of files
// (ReleaseLayout), the files on disk (PartStore), the CRC info
// (CrcInfoSource), the workers of a file (WorkerChain), the free-space
// checks (FreeSpaceCheck), the setup start (SetupStart) and the log at close
// (LogUpload). What is left here is the order of the steps, in
// downloadmanager_run.cpp and downloadmanager.cpp.
class DownloadManager : public Orv_Thread {
 public:
  static constexpr int kMaxAttempts = 8;

  explicit DownloadManager(IDMListener* listener);
  ~DownloadManager() override;

  // Before StartDownload.
  void SetRelease(const ReleaseDescriptor& release);
  void SetSupportCenterUrl(const std::wstring& url) { support_center_url = url; }
  // The maker's log service, as a full URL; empty sends no log.
  void SetLogServiceUrl(const std::wstring& url) { log_upload.SetServiceUrl(url); }
  void SetLogRelease(const std::wstring& release, const std::wstring& version) {
    log_upload.SetRelease(release, version);
  }
  // Null puts the system's shell back.
  void SetShell(IShell* shell) { this->shell = shell ? shell : &SystemShell::Instance(); }
  // The setup's signer: SHA-256 thumbprints of certificates, one of which
  // must be in the chain of the setup's signature; empty starts any setup
  // that passed its CRC checks.
  void SetSetupSigners(const std::wstring& pins) { setup_signature = SetupSignature(pins); }
  // Null puts the system's free-space query back.
  void SetFreeSpaceQuery(IFreeSpaceQuery* query) { free_space.SetFreeSpaceQuery(query); }
  // Another owner of the events (one that filters them); before
  // StartDownload.
  void SetListener(IDMListener* listener) { this->listener = listener; }
  // Installs from the layout in `folder` (LayoutSource), or, with
  // `make_layout`, makes `folder` the program folder and a layout: the
  // release is fetched and verified into it and nothing is started. Before
  // StartDownload.
  void SetLayout(const std::wstring& folder, bool make_layout);
  // Sends no log to the log service (an organisation's policy); the log
  // says so.
  void SetNoUpload(bool no_upload) { log_upload.SetNoUpload(no_upload); }
  // How the run ended; kRunning until it has.
  RunEnd Ending() const { return run_end.load(std::memory_order_relaxed); }

  // Stores the values (Configure) and starts the run's thread, unless the
  // run was stopped; returns at once.
  void StartDownload(const std::wstring& default_host, const std::wstring& path_prefix,
                     const std::wstring& crc_info_name, const std::wstring& download_folder,
                     const std::wstring& program_folder);
  void Configure(const std::wstring& default_host, const std::wstring& path_prefix,
                 const std::wstring& crc_info_name, const std::wstring& download_folder,
                 const std::wstring& program_folder);
  // Stops the run: its thread and every worker end; returns when all have.
  void StopDownload();
  // At close, after StopDownload: posts the log (LogUpload). A run that
  // started the setup removed the download folder and sends nothing.
  void PostLogFile() {
    // A finished layout removed the download folder as a setup start does.
    log_upload.Post(layout.DownloadFolder(), setup_started.load(std::memory_order_relaxed) ||
                                                 Ending() == RunEnd::kLayoutReady);
  }
  // Pauses or resumes the whole download: the manager's own state, applied
  // to every worker it holds or creates later. Returns the new state.
  bool TogglePause() { return chain.TogglePause(); }
  bool IsPaused() const { return chain.IsPaused(); }
  // Parts that hold for the pause right now (a part under way when the
  // pause came holds once its current read has ended).
  int PartsHeld() const { return chain.PartsHeld(); }

  // The counters and phase flags at one moment, for the progress display
  // and the speed meter on their own threads.
  DownloadProgress Progress() const { return progress.Snapshot(); }

 protected:
  void Run() override;
  std::wstring ThreadName() const override { return L"Veltra download run"; }
  // Reported as the run's malfunction; the window is told the run failed.
  void Failed(const char* what) override;

 private:
  // kReleaseGone: the host answered 404 for the CRC info (already reported);
  // kIncomplete: the CRC info named files that cannot be fetched.
  enum class VerifyResult { kPassed, kFailed, kStopped, kReleaseGone, kIncomplete };

  // The steps of an attempt, on the run's thread.
  bool FetchCrcInfo(ReleaseManifest& records);
  bool CheckFileFromCRCInfo(const ManifestFile& record);
  VerifyResult VerifyAll();
  void ComputeTotals(const ReleaseManifest& records);
  // Every missing part of every file, merging each file once its parts
  // have ended.
  void DownloadFiles(const ReleaseManifest& records);
  // Adds the missing parts of `record` (number `file`) to the chain; false
  // when the file needs nothing or a stop came first.
  bool QueueFile(const ManifestFile& record, size_t file);
  // `shown`: the read-out shows the merge's progress (nothing else is being
  // downloaded meanwhile).
  void MergeParts(const ManifestFile& record, bool shown);
  void LaunchSetup(const std::wstring& setup_path);
  // A setup without the maker's signature: not started, the files left as
  // they are; the user is told and sent to the support centre.
  void RefuseUnverifiedSetup(const std::wstring& setup_path, const SetupSignature::Result& result);

  void RunAttempts();
  // The long-path check at the start, with the CRC info's longest name: the
  // user is told when the program folder cannot take it.
  bool ProgramFolderTakes(const ReleaseManifest& records);
  void GiveUp();
  // A release with files that cannot be fetched is never installed.
  void RefuseIncompleteRelease();
  // Tells the user `message`, opens the support page and ends the run.
  void SendToSupport(const wchar_t* message =
                         L"Downloading setup failed.\rYou are now directed to our Support Center "
                         L"for help.");
  void OpenSupportCenter();
  // Something cannot be saved: the user is told once and sent to the
  // support centre, and the run fetches nothing more.
  void ReportSaveFailure();
  // The run was stopped, by the owner or because the network answers with
  // web pages.
  bool Stopped() const { return stop->Requested(); }
  // The user has been told that nothing more can be fetched.
  bool FetchingGivenUp() const {
    return save_failure_reported.load(std::memory_order_relaxed) ||
           web_pages_reported.load(std::memory_order_relaxed);
  }
  // Every try of the first part met a web page: the user is told that the
  // network replaces the download, and the run fetches nothing more.
  void ReportWebPages();
  // The network's proxy refused the host (proxy_refusal: 403 or 407): the
  // user is told so, with the host's name, and the run fetches nothing
  // more.
  void ReportProxyRefusal();
  // One copy of the CRC info from host `host` into memory (false when the
  // run was stopped meanwhile), one part from one host for its CRC, and
  // the request of one part into its part file, on every host.
  bool FetchCrcInfoCopy(size_t host, CrcInfoSource::Copy& copy);
  bool FetchPartCrc(size_t host, const ManifestFile& record, size_t part, uint32_t& crc);
  // Runs `worker` to its end; false when the run was stopped meanwhile.
  bool RunToEnd(FileDownload& worker);
  // The same object on every host, its path on host h given by `path`.
  std::vector<HostObject> Places(const std::function<std::wstring(size_t)>& path) const;
  DownloadRequest NewPartRequest(const ManifestFile& record, const std::wstring& local,
                                 size_t part) const;
  void WatchDownloadFolder();
  // The first end recorded stands.
  void EndRun(RunEnd end);
  // The success end of a layout run (LayoutSource::Finish).
  void FinishLayout();

  const std::shared_ptr<RunStop> stop = std::make_shared<RunStop>();
  ReleaseLayout layout;
  std::wstring default_host;
  std::wstring host_name;
  // Every host's signature, the first host's first.
  std::vector<std::wstring> signatures{L""};
  std::shared_ptr<HostPool> hosts = std::make_shared<HostPool>(std::vector<std::wstring>{L""});
  std::wstring support_center_url;
  // The watcher is started once per run: a folder that cannot be watched
  // would otherwise restart it at every look, each time with a log record.
  bool watch_started = false;

  FileSystemWatcher watcher;
  ProgressCounters progress;
  PartStore store;
  CrcInfoSource crc_info;
  WorkerChain chain;
  FreeSpaceCheck free_space;
  SetupSignature setup_signature{L""};
  SetupStart setup_start;
  LogUpload log_upload;
  LayoutSource layout_source;
  // The folder a layout is made in, which is then the program folder.
  std::wstring layout_folder;
  // The run's thread only: the CRC info as last fetched, for a layout.
  std::string last_crc_info;

  IDMListener* listener;
  IShell* shell = &SystemShell::Instance();
  std::atomic<bool> save_failure_reported{false};
  std::atomic<bool> web_pages_reported{false};
  // What ended the last CRC info fetch before any copy: set and read on the
  // run's thread.
  enum class CrcInfoBlock { kNone, kWebPages, kProxyRefused };
  CrcInfoBlock crc_info_block = CrcInfoBlock::kNone;
  uint32_t proxy_refusal = 0;
  // The shell took the setup; the download folder is gone with the log's
  // place.
  std::atomic<bool> setup_started{false};
  std::atomic<RunEnd> run_end{RunEnd::kRunning};
};
