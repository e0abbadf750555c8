#include "download/downloadmanager.h"

#include <windows.h>

#include <algorithm>
#include <exception>

#include "base/debugoutput.h"
#include "base/error.h"
#include "base/errorcodes.h"
#include "base/faulttranslator.h"
#include "base/scopedhandle.h"

namespace {

const char kModule[] = "downloadmanager";

// A fault or exception that ends a piece of the run's work.
void ReportMalfunction(const std::exception& e, int32_t line) {
  Error::LogError(
      std::string("DownloadManager: Obviously a major malfunction. Stopping download. Message: ") +
          e.what(),
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

void DownloadManager::Run() {
  InstallSeTranslator();
  try {
    RunAttempts();
  } catch (const std::exception& e) {
    ReportMalfunction(e, __LINE__);
    // The run is over; the window must not go on saying it downloads.
    if (listener) listener->DownloadFailed(this);
  }
}

void DownloadManager::RunAttempts() {
  Error::ClearErrors();
  std::wstring setup_path;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    bytes_done.store(0, std::memory_order_relaxed);
    CrcInfo records;
    if (!FetchCrcInfo(records)) return;
    if (dropped_records > 0) {
      RefuseIncompleteRelease();
      return;
    }
    ComputeTotals(records);
    if (!HasRoomForRelease(records)) ReportSaveFailure();
    for (const FileRecord& record : records) {
      if (!IsRunning() || write_failed.load(std::memory_order_relaxed)) break;
      DownloadFileFromCRCInfo(record);
    }
    if (write_failed.load(std::memory_order_relaxed)) {
      // The user has been told and sent to the support centre; the owner
      // closes and stops us. Nothing more is fetched meanwhile.
      ::WaitForSingleObject(stop_event.Get(), INFINITE);
      return;
    }
    if (!IsRunning()) return;

    for (const FileRecord& record : records) {
      std::wstring local;
      if (!LocalName(record, local)) continue;
      const std::wstring path = FinalPath(local);
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

void DownloadManager::GiveUp() {
  Error::LogError(
      "Maximum download attempts exceeded. If there are no network or file errors, it could be "
      "that the files are removed from disk after writing",
      static_cast<uint32_t>(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED), kModule, __LINE__);
  SendToSupport();
}

void DownloadManager::RefuseIncompleteRelease() {
  // Each left-out record is named in the log already.
  Error::RecordError(L"DownloadManager: " + std::to_wstring(dropped_records) + L" entries of " +
                         crc_info_name +
                         L" name no file that can be downloaded: the release is incomplete and "
                         L"is not installed",
                     static_cast<uint32_t>(ERROR_INVALID_DATA), kModule, __LINE__);
  SendToSupport();
}

void DownloadManager::SendToSupport() {
  if (listener) {
    listener->ShowError(
        L"Downloading setup failed.\rYou are now directed to our Support Center "
        L"for help.");
  }
  OpenSupportCenter();
  if (listener) listener->DownloadFailed(this);
}

void DownloadManager::OpenSupportCenter() { shell->OpenUrl(support_center_url); }

void DownloadManager::DownloadFileFromCRCInfo(const FileRecord& record) {
  if (record.size() < 3) return;
  try {
    std::wstring local;
    if (!LocalName(record, local)) return;
    current_file = local;
    const std::wstring final_path = FinalPath(local);
    if (::GetFileAttributesW(final_path.c_str()) != INVALID_FILE_ATTRIBUTES) {
      UniqueHandle file(::CreateFileW(final_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      LARGE_INTEGER size;
      if (!file || !::GetFileSizeEx(file.Get(), &size)) {
        Error::RecordError(
            L"DownloadManager::DownloadFileFromCRCInfo unable to read file" + final_path,
            ::GetLastError(), kModule, __LINE__);
      } else {
        // No more than the record claims, as in bytes_done: the speed meter
        // subtracts one from the other.
        bytes_reused.fetch_add(
            std::min<uint64_t>(static_cast<uint64_t>(size.QuadPart), RecordFileSize(record)),
            std::memory_order_relaxed);
      }
      return;
    }
    WatchDownloadFolder();
    CreateWorkers(record, local);
    // Stopped, or a write failed: the workers stay for StopDownload.
    if (!WaitForWorkers()) return;
    const bool finished = AllWorkersFinished();
    ReleaseWorkers();
    if (IsRunning() && finished) MergeParts(record);
  } catch (const std::exception& e) {
    ReportMalfunction(e, __LINE__);
  }
}

void DownloadManager::CreateWorkers(const FileRecord& record, const std::wstring& local) {
  // The checks of the parts already on disk read up to a part each: they run
  // before workers_lock is taken, so that a pause click never waits for them.
  std::vector<Worker> created;
  for (size_t k = 0; k < RecordPartCount(record); ++k) {
    if (!IsRunning()) return;
    const std::wstring part_path = PartPath(local, k);
    const int32_t expected = RecordPartCrc(record, k);
    if (::GetFileAttributesW(part_path.c_str()) != INVALID_FILE_ATTRIBUTES) {
      if (CRCCheckFile(part_path, expected)) {
        const uint32_t bytes = PartBytes(record, k);
        bytes_done.fetch_add(bytes, std::memory_order_relaxed);
        bytes_reused.fetch_add(bytes, std::memory_order_relaxed);
        continue;
      }
      DeleteOwnFile(part_path);
    }
    // The part's real size: the last part of a file is shorter, and the
    // finished part adds this much to bytes_done.
    auto download = std::make_unique<FileDownload>(DownloadRequest::Part(
        host_name, PartObjectPath(record, k), SAS, static_cast<uint32_t>(k), PartBytes(record, k),
        static_cast<uint32_t>(expected), part_path, this));
    DebugOutput::Write(download->Request().object_path);
    created.push_back(Worker{std::move(download), false, nullptr});
  }
  ScopedLock lock(workers_lock);
  for (Worker& worker : created) {
    worker.download->SetPaused(paused.load(std::memory_order_relaxed));
    workers.push_back(std::move(worker));
  }
  StartNextWorker();
}

void DownloadManager::StartNextWorker() {
  if (write_failed.load(std::memory_order_relaxed) || paused.load(std::memory_order_relaxed)) {
    return;
  }
  for (const Worker& worker : workers) {
    // A write failure stops the chain even before its event has arrived. A
    // finished worker may still be inside its last event, with its thread
    // not yet ended; it counts as done.
    const DownloadState state = worker.download->State();
    if (state == DOWNLOAD_WRITE_FAILED) return;
    if (worker.started && worker.download->IsRunning() && state != DOWNLOAD_FINISHED) return;
  }
  for (Worker& worker : workers) {
    if (!worker.started) {
      worker.started = true;
      worker.thread = worker.download->Start();
      return;
    }
  }
}

bool DownloadManager::AllWorkersFinished() {
  ScopedLock lock(workers_lock);
  return std::all_of(workers.begin(), workers.end(), [](const Worker& worker) {
    return worker.download->State() == DOWNLOAD_FINISHED;
  });
}

void DownloadManager::ReleaseWorkers() {
  std::vector<Worker> ended;
  {
    ScopedLock lock(workers_lock);
    ended.swap(workers);
  }
}

bool DownloadManager::WaitForWorkers() {
  for (;;) {
    // What to wait for next: the thread of the worker that is running, or,
    // while paused with none running, the resume.
    HANDLE wait = nullptr;
    {
      ScopedLock lock(workers_lock);
      if (!IsRunning() || write_failed.load(std::memory_order_relaxed)) return false;
      // A worker that ended by an exception stays idle and sends no event:
      // its part counts as missing and the next one is started here.
      StartNextWorker();
      bool all_started = true;
      for (const Worker& worker : workers) {
        all_started = all_started && worker.started;
        if (worker.started && worker.download->IsRunning()) wait = worker.thread;
      }
      // Done when every thread has ended, not merely set its state: a
      // finished worker still adds its part to bytes_done in its last event.
      if (wait == nullptr && all_started) return true;
      if (wait == nullptr && paused.load(std::memory_order_relaxed)) wait = resume_event.Get();
    }
    WatchDownloadFolder();
    if (wait == nullptr) continue;  // a worker whose thread could not start
    const HANDLE waits[] = {wait, stop_event.Get()};
    ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  }
}

void DownloadManager::OnDownloadFinished(FileDownload* download) {
  if (!IsRunning()) return;
  ScopedLock lock(workers_lock);
  StartNextWorker();
  // The finished part moves from in progress to done: taken out first, so
  // that a reader never sees it counted twice.
  RecountInProgress();
  bytes_done.fetch_add(download->Request().part_size, std::memory_order_relaxed);
}

void DownloadManager::RecountInProgress() {
  uint64_t in_progress = 0;
  for (const Worker& worker : workers) {
    const DownloadState state = worker.download->State();
    if (state != DOWNLOAD_RUNNING && state != DOWNLOAD_SEEK_FAILED) continue;
    in_progress +=
        std::min<uint64_t>(worker.download->BytesReceived(), worker.download->Request().part_size);
  }
  bytes_in_progress.store(in_progress, std::memory_order_relaxed);
}

void DownloadManager::OnDownloadProgress(FileDownload* download) {
  if (!IsRunning()) return;
  if (download->State() == DOWNLOAD_WRITE_FAILED) {
    ReportSaveFailure();
    return;
  }
  {
    ScopedLock lock(workers_lock);
    RecountInProgress();
  }
  if (listener) listener->ProgressChanged(this);
}

void DownloadManager::ReportSaveFailure() {
  write_failed.store(true, std::memory_order_relaxed);
  if (save_failure_reported.exchange(true, std::memory_order_relaxed)) return;
  // Not under workers_lock: the message waits for the user, and the
  // window's thread may want the lock meanwhile.
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
  // The flag first, then the event: a run woken by the event finds the flag
  // cleared, whichever of the two it looks at.
  running.store(false, std::memory_order_relaxed);
  ::SetEvent(stop_event.Get());
  Wait();
  std::vector<Worker> ending;
  {
    ScopedLock lock(workers_lock);
    bytes_in_progress.store(0, std::memory_order_relaxed);
    ending.swap(workers);
  }
  // Waited for outside the lock: a worker may be inside an event that waits
  // for workers_lock right now.
  for (Worker& worker : ending) worker.download->Stop(INFINITE);
  ending.clear();
  watcher.Stop(500);
}

bool DownloadManager::TogglePause() {
  ScopedLock lock(workers_lock);
  const bool now_paused = !paused.load(std::memory_order_relaxed);
  paused.store(now_paused, std::memory_order_relaxed);
  for (Worker& worker : workers) worker.download->SetPaused(now_paused);
  if (!now_paused) {
    StartNextWorker();
    ::SetEvent(resume_event.Get());
  }
  return now_paused;
}
