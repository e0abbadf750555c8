#include "download/downloadmanager.h"

#include <windows.h>

#include <algorithm>
#include <deque>

#include "base/debugoutput.h"
#include "base/error.h"
#include "base/errorcodes.h"
#include "base/filesystem.h"
#include "base/httpstatus.h"
#include "base/crc.h"
#include "base/scopedhandle.h"
#include "base/threadstart.h"
#include "download/longpathcheck.h"
#include "net/proxysignin.h"

namespace {

const char kModule[] = "downloadmanager";

// A fault or exception that ends a piece of the run's work (`what` null:
// of unknown type).
void ReportMalfunction(const char* what, int32_t line) {
  Error::LogError(
      std::string("DownloadManager: Obviously a major malfunction. Stopping download. Message: ") +
          (what != nullptr ? what : "unknown exception"),
      static_cast<uint32_t>(DL_MANAGER_WIN32_EXCEPTION), kModule, line);
}

bool EndsWith(const std::wstring& text, const std::wstring& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

DownloadManager::~DownloadManager() {
  StopDownload();
  // The watcher and the workers go with the members, after the thread.
}

void DownloadManager::Run() { RunAttempts(); }

void DownloadManager::Failed(const char* what) {
  ReportMalfunction(what, __LINE__);
  EndRun(RunEnd::kFailed);
  // The run is over; the window must not go on saying it downloads.
  if (listener) listener->DownloadFailed(this);
}

void DownloadManager::RunAttempts() {
  Error::ClearErrors();
  store.RemoveTemporaryFiles();
  std::wstring setup_path;
  // Once the user has cancelled the proxy's sign-in, another attempt would
  // only meet the same 407s.
  for (int attempt = 0; attempt < kMaxAttempts && !ProxySignIn::Instance().Refused(); ++attempt) {
    progress.bytes_done.store(0, std::memory_order_relaxed);
    ReleaseManifest records;
    if (!FetchCrcInfo(records)) return;
    if (crc_info.Dropped() > 0) {
      RefuseIncompleteRelease();
      return;
    }
    if (attempt == 0 && !ProgramFolderTakes(records)) return;
    store.ListFinalFiles();
    ComputeTotals(records);
    if (!free_space.HasRoomForRelease(records)) ReportSaveFailure();
    DownloadFiles(records);
    if (FetchingGivenUp()) {
      // The user has been told and sent to the support centre; the owner
      // closes and stops us. Nothing more is fetched meanwhile.
      stop->Token().WaitForStop(INFINITE);
      return;
    }
    if (Stopped()) return;

    for (const ManifestFile& record : records) {
      const std::wstring path = layout.FinalPath(record.local_name);
      if (EndsWith(path, L".exe")) setup_path = path;
    }
    switch (VerifyAll()) {
      case VerifyResult::kPassed:
        LaunchSetup(setup_path);
        return;
      case VerifyResult::kIncomplete:
        RefuseIncompleteRelease();
        return;
      case VerifyResult::kStopped:
      case VerifyResult::kReleaseGone:
        return;
      case VerifyResult::kFailed:
        break;
    }
  }
  GiveUp();
}

bool DownloadManager::ProgramFolderTakes(const ReleaseManifest& records) {
  const std::wstring& folder = layout.ProgramFolder();
  if (LongPathCheck::Takes(folder, LongPathCheck::LongestName(records))) return true;
  EndRun(RunEnd::kNotSaved);
  const std::wstring text = LongPathCheck::Advice(folder, FileSystem::GetExecutablePathWide());
  Error::RecordError(text, ERROR_FILENAME_EXCED_RANGE, kModule, __LINE__);
  if (listener) {
    listener->ShowError(text);
    listener->DownloadFailed(this);
  }
  return false;
}

void DownloadManager::GiveUp() {
  Error::LogError(
      "Maximum download attempts exceeded. If there are no network or file errors, it could be "
      "that the files are removed from disk after writing",
      static_cast<uint32_t>(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED), kModule, __LINE__);
  EndRun(ClassifyGiveUp(Error::GetErrorListJson(), ProxySignIn::Instance().Refused()));
  SendToSupport();
}

void DownloadManager::RefuseIncompleteRelease() {
  EndRun(RunEnd::kFailed);
  // Each left-out record is named in the log already.
  Error::RecordError(L"DownloadManager: " + std::to_wstring(crc_info.Dropped()) + L" entries of " +
                         layout.CrcInfoName() +
                         L" name no file that can be downloaded: the release is incomplete and "
                         L"is not installed",
                     static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
  SendToSupport();
}

void DownloadManager::SendToSupport(const wchar_t* message) {
  if (listener) listener->ShowError(message);
  OpenSupportCenter();
  if (listener) listener->DownloadFailed(this);
}

void DownloadManager::OpenSupportCenter() {
  if (listener) listener->OpenPage(support_center_url);
}

void DownloadManager::DownloadFiles(const ReleaseManifest& records) {
  // The files in the chain, in order, not yet merged; the next file's parts
  // are added once every part before has started, so that no connection
  // idles through a file's last parts and its merge.
  std::deque<size_t> queued;
  size_t next = 0;
  // bytes_from[k]: the size of files k and on, for the chain to see the end
  // of the run coming.
  std::vector<uint64_t> bytes_from(records.size() + 1, 0);
  for (size_t k = records.size(); k-- > 0;) bytes_from[k] = bytes_from[k + 1] + records[k].size;
  const auto add_next = [&] {
    while (next < records.size()) {
      if (Stopped() || FetchingGivenUp()) return;
      const size_t file = next++;
      if (QueueFile(records[file], file)) {
        queued.push_back(file);
        return;
      }
    }
  };
  add_next();
  while (!queued.empty()) {
    const size_t file = queued.front();
    // Stopped, a write failed or the network answers with web pages: the
    // workers stay for StopDownload.
    switch (chain.WaitForFile(file, next < records.size(), bytes_from[next],
                              [this] { WatchDownloadFolder(); })) {
      case WorkerChain::Outcome::kStopped:
        return;
      case WorkerChain::Outcome::kNotSaved:
        ReportSaveFailure();
        return;
      case WorkerChain::Outcome::kWebPages:
        ReportWebPages();
        return;
      case WorkerChain::Outcome::kWantsMore:
        add_next();
        if (Stopped() || FetchingGivenUp()) return;
        continue;
      case WorkerChain::Outcome::kFileEnded:
        break;
    }
    queued.pop_front();
    const bool finished = chain.DestroyFileWorkers(file);
    // With the next file's parts in flight the read-out goes on showing the
    // download rather than the merge. A malfunction leaves the file unmerged
    // and the run goes on: its verification fails and the next attempt
    // merges it again.
    RunGuarded(
        [&] {
          if (!Stopped() && finished) MergeParts(records[file], queued.empty());
        },
        [](const char* what) { ReportMalfunction(what, __LINE__); });
    if (Stopped() || FetchingGivenUp()) return;
    if (queued.empty()) add_next();
  }
}

bool DownloadManager::QueueFile(const ManifestFile& record, size_t file) {
  if (record.part_crcs.empty()) return false;
  bool queued = false;
  RunGuarded(
      [&] {
        const std::wstring& local = record.local_name;
        layout_source.Prepare(
            record, [this](const std::wstring& path) { return store.DeleteOwnFile(path); });
        if (store.FinalFileExists(record, local)) return;
        WatchDownloadFolder();
        // The checks of the parts already on disk read up to a part each:
        // they run before the chain's lock is taken, so that a pause click
        // never waits for them.
        std::vector<size_t> missing;
        if (!store.CheckParts(record, local, missing)) return;
        std::vector<DownloadRequest> requests;
        for (size_t k : missing) requests.push_back(NewPartRequest(record, local, k));
        chain.AddFile(file, std::move(requests));
        queued = true;
      },
      [](const char* what) { ReportMalfunction(what, __LINE__); });
  return queued;
}

DownloadRequest DownloadManager::NewPartRequest(const ManifestFile& record,
                                                const std::wstring& local, size_t part) const {
  // The part's real size: the last part of a file is shorter, the part must
  // come with exactly this many bytes, and the finished part adds this much
  // to bytes_done. The chain is the worker's listener.
  DownloadRequest request = DownloadRequest::Part(
      host_name, layout.PartObjectPath(record, part), signatures[0], static_cast<uint32_t>(part),
      layout.PartBytes(record, part), static_cast<uint32_t>(record.part_crcs.at(part)),
      layout.PartPath(local, part), nullptr);
  request.OnHosts(
      Places([&](size_t host) { return layout.PartObjectPath(record, part, host); }), hosts);
  DebugOutput::Write(request.places[0].object_path);
  return request;
}

std::vector<HostObject> DownloadManager::Places(
    const std::function<std::wstring(size_t)>& path) const {
  std::vector<HostObject> places;
  for (size_t host = 0; host < hosts->Count(); ++host) {
    places.push_back({hosts->Name(host), path(host), signatures[host]});
  }
  return places;
}

bool DownloadManager::RunToEnd(FileDownload& worker) {
  const HANDLE thread = worker.Start();
  // A stop must not wait for a host that stalls; the worker sees the same
  // stop and ends.
  if (thread && stop->Token().WaitFor(thread, INFINITE) != FlagEvent::Wake::kWork) {
    worker.Wait();
    return false;
  }
  worker.Wait();
  return true;
}

bool DownloadManager::FetchCrcInfoCopy(size_t host, CrcInfoSource::Copy& copy) {
  copy = CrcInfoSource::Copy();
  if (layout_source.InstallsFromLayout() && layout_source.ReadCrcInfo(copy.text)) {
    copy.received = true;
    return !Stopped();
  }
  // A fresh worker for every copy: a status left from an earlier copy must
  // not pass for this one's. No pause: the CRC info is fetched while the
  // user pauses.
  auto sink = std::make_shared<MemorySink>();
  DownloadRequest request =
      DownloadRequest::InMemory(host_name, layout.CrcInfoObjectPath(0), signatures[0], sink);
  request.OnHosts(Places([this](size_t on) { return layout.CrcInfoObjectPath(on); }), hosts, host);
  FileDownload worker(std::move(request), stop);
  if (!RunToEnd(worker)) return false;
  if (worker.MetOnlyWebPages()) {
    crc_info_block = CrcInfoBlock::kWebPages;
    return false;
  }
  if (worker.ProxyRefusal() != 0 && hosts->OthersUsable(host)) {
    hosts->LeaveOut(host, L"the network's proxy refuses it");
    return !Stopped();
  }
  if (worker.ProxyRefusal() != 0) {
    crc_info_block = CrcInfoBlock::kProxyRefused;
    proxy_refusal = worker.ProxyRefusal();
    return false;
  }
  copy.status = worker.ErrorCode();
  copy.received = worker.KeptFrom() >= 0;
  const ByteBuffer& data = sink->Bytes();
  copy.text.reserve(data.Size());
  for (size_t i = 0; i < data.Size(); ++i) {
    if (data.Data()[i] != 0) copy.text += static_cast<char>(data.Data()[i]);
  }
  return !Stopped();
}

bool DownloadManager::FetchPartCrc(size_t host, const ManifestFile& record, size_t part,
                                   uint32_t& crc) {
  auto sink = std::make_shared<MemorySink>();
  DownloadRequest request = DownloadRequest::InMemory(
      hosts->Name(host), layout.PartObjectPath(record, part, host), signatures[host], sink);
  request.OnHosts(
      Places([&](size_t on) { return layout.PartObjectPath(record, part, on); }), hosts, host);
  FileDownload worker(std::move(request), stop);
  if (!RunToEnd(worker) || worker.KeptFrom() < 0) return false;
  crc = CRC().Compute(sink->Bytes().Data(), sink->Bytes().Size());
  return !Stopped();
}

void DownloadManager::ReportWebPages() {
  if (web_pages_reported.exchange(true, std::memory_order_relaxed)) return;
  EndRun(RunEnd::kWebPages);
  const std::wstring text =
      L"Your network answers the download with a web page instead of the installer's files. "
      L"This happens on networks with a sign-in page (in hotels, airports or guest networks) "
      L"and behind content filters.\r\n\r\nPlease open any web page in your browser and "
      L"complete the sign-in there, or ask your network administrator, then start the download "
      L"manager again.\r\nYou are now directed to our Support Center for help.";
  Error::RecordError(text, static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
  if (listener) listener->ShowError(text);
  OpenSupportCenter();
  if (listener) listener->DownloadFailed(this);
}

void DownloadManager::ReportProxyRefusal() {
  // A filter's refusal is the network's doing, as far as a deployment can
  // tell; a sign-in nobody gave has a code of its own.
  EndRun(proxy_refusal == kHttpProxyAuthenticationRequired ? RunEnd::kProxySignIn
                                                           : RunEnd::kNetwork);
  const std::wstring text =
      proxy_refusal == kHttpProxyAuthenticationRequired
          ? L"Your network's proxy asks for a sign-in to let the download manager reach " +
                host_name +
                L", and none was given or it was not accepted (407 Proxy Authentication "
                L"Required).\r\n\r\nPlease start the download manager again and sign in with "
                L"the user name and password of your network, or ask your network "
                L"administrator.\r\nYou are now directed to our Support Center for help."
          : L"Your network's proxy or filter refused the connection to " + host_name + L" (" +
                std::to_wstring(proxy_refusal) +
                L" Forbidden).\r\n\r\nPlease ask your network administrator to allow " + host_name +
                L", then start the download manager again.\r\nYou are now directed to our "
                L"Support Center for help.";
  Error::RecordError(text, static_cast<uint32_t>(ERROR_ACCESS_DENIED), kModule, __LINE__);
  if (listener) listener->ShowError(text);
  OpenSupportCenter();
  if (listener) listener->DownloadFailed(this);
}

void DownloadManager::ReportSaveFailure() {
  if (save_failure_reported.exchange(true, std::memory_order_relaxed)) return;
  EndRun(RunEnd::kNotSaved);
  if (listener) {
    listener->ShowError(
        L"Something is preventing the Download Manager from saving the installation "
        L"files.\r\nYou will now be re-directed to the Veltra Support Center.");
  }
  OpenSupportCenter();
  if (listener) {
    listener->DownloadFailed(this);
    listener->DownloadFinished(this);
  }
}

void DownloadManager::StopDownload() {
  // The run's thread, every worker and their reads see the stop at once.
  stop->Request();
  Wait();
  chain.EndAll();
  watcher.Stop(kStopWaitMs);
}
