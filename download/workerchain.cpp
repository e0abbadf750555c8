#include "download/workerchain.h"

#include <algorithm>
#include <string>
#include <utility>

#include "base/error.h"

namespace {

const char kModule[] = "workerchain";

// A finished worker's bytes stay in progress until its event moves them to
// done, so that the read-out never dips between the two.
bool Receiving(DownloadState state) {
  return state == DOWNLOAD_RUNNING || state == DOWNLOAD_SEEK_FAILED || state == DOWNLOAD_FINISHED;
}

}  // namespace

WorkerChain::WorkerChain(ProgressCounters& progress, int in_flight, std::shared_ptr<RunStop> stop,
                         Clock clock)
    : progress(progress),
      stop(std::move(stop)),
      clock(std::move(clock)),
      scheduler(std::max(1, in_flight)) {
  DownloadConnection::AllowConnectionsPerServer(static_cast<DWORD>(std::max(1, in_flight)));
}

void WorkerChain::Begin() {
  ScopedLock guard(lock);
  first_ended = false;
  met_web_pages = false;
  scheduler.Begin();
}

void WorkerChain::AddFile(size_t file, std::vector<DownloadRequest> requests) {
  ScopedLock guard(lock);
  for (DownloadRequest& request : requests) {
    request.listener = this;
    Worker worker;
    worker.file = file;
    worker.download = std::make_unique<FileDownload>(std::move(request), stop, pause);
    worker.download->SignalWhenEnded(worker_ended.Get());
    workers.push_back(std::move(worker));
  }
  StartNext();
}

void WorkerChain::StartNext() {
  if (pause->IsPaused() || stop->Requested()) return;
  int running = 0;
  for (const Worker& worker : workers) {
    // A write failure stops the chain even before its event has arrived. A
    // finished worker may still be inside its last event, with its thread
    // not yet ended; it counts as done.
    const DownloadState state = worker.download->State();
    if (state == DOWNLOAD_WRITE_FAILED) return;
    if (worker.started && worker.download->IsRunning() && state != DOWNLOAD_FINISHED) ++running;
  }
  const int allowed = scheduler.Allowed();
  for (Worker& worker : workers) {
    if (running >= allowed) return;
    if (worker.started) continue;
    worker.started = true;
    worker.started_at = clock();
    worker.download->Start();
    ++running;
  }
}

bool WorkerChain::DestroyFileWorkers(size_t file) {
  std::vector<Worker> ended;
  bool finished = true;
  {
    ScopedLock guard(lock);
    for (auto it = workers.begin(); it != workers.end();) {
      if (it->file != file) {
        ++it;
        continue;
      }
      finished = finished && it->download->State() == DOWNLOAD_FINISHED;
      ended.push_back(std::move(*it));
      it = workers.erase(it);
    }
    RecountInProgress();
  }
  // Their threads have ended; they go outside the lock all the same.
  return finished;
}

WorkerChain::Outcome WorkerChain::WaitForFile(size_t file, bool more_to_add, uint64_t bytes_to_come,
                                              const std::function<void()>& between_waits) {
  {
    ScopedLock guard(lock);
    this->bytes_to_come = bytes_to_come;
  }
  const StopToken until = stop->Token();
  for (;;) {
    // The stop first, so that it wins a tie; then the end of any worker's
    // thread, or, while paused with none running, the resume.
    HANDLE waits[] = {until.Event(), worker_ended.Get(), pause->ResumeEvent()};
    DWORD count = 2;
    DWORD timeout = INFINITE;
    {
      ScopedLock guard(lock);
      if (met_web_pages) return Outcome::kWebPages;
      if (stop->Requested()) return Outcome::kStopped;
      // A worker that ended by an exception stays idle and sends no event:
      // its part counts as missing and the next one is started here.
      StartNext();
      bool all_started = true;
      bool file_ended = true;
      bool any_running = false;
      for (const Worker& worker : workers) {
        if (worker.download->State() == DOWNLOAD_WRITE_FAILED) return Outcome::kNotSaved;
        all_started = all_started && worker.started;
        const bool running = worker.started && worker.download->IsRunning();
        // Done when every thread has ended, not merely set its state: a
        // finished worker still adds its part to bytes_done in its last
        // event.
        if (worker.file == file) file_ended = file_ended && worker.started && !running;
        any_running = any_running || running;
      }
      // The next file's parts go in first: the merge of this one follows.
      if (more_to_add && all_started) return Outcome::kWantsMore;
      if (file_ended) return Outcome::kFileEnded;
      if (!any_running && pause->IsPaused()) {
        count = 3;
      } else if (!any_running) {
        // Nothing to wait for (a worker whose thread could not start): the
        // next look comes after a short while.
        timeout = 100;
      }
    }
    between_waits();
    ::WaitForMultipleObjects(count, waits, FALSE, timeout);
  }
}

void WorkerChain::EndAll() {
  std::vector<Worker> ending;
  {
    ScopedLock guard(lock);
    progress.bytes_in_progress.store(0, std::memory_order_relaxed);
    ending.swap(workers);
  }
  // Destroyed outside the lock, each once its thread has ended: a worker may
  // be inside an event that waits for the lock right now.
  ending.clear();
}

void WorkerChain::OnDownloadFinished(FileDownload* download) {
  ScopedLock guard(lock);
  if (!std::exchange(first_ended, true) && download->MetOnlyWebPages()) {
    // The network replaces the download: every other part would meet the
    // same, so the run goes no further.
    met_web_pages = true;
    stop->Request();
    return;
  }
  for (size_t i = 0; i < workers.size(); ++i) {
    Worker& worker = workers[i];
    if (worker.download.get() != download || worker.counted_done) continue;
    // The finished part moves from in progress to done: taken out first, so
    // that a reader never sees it counted twice.
    worker.counted_done = true;
    RecountInProgress();
    progress.bytes_done.fetch_add(download->Request().part_size, std::memory_order_relaxed);
    const PartScheduler::Ended ended =
        scheduler.PartEnded(clock(), Parts(), i, download->BytesReceived(), bytes_to_come);
    if (ended.held) {
      Error::LogMessage("WorkerChain: a connection is left idle: the parts left end in " +
                            std::to_string(static_cast<int>(ended.without_ms)) +
                            " ms without it, " + std::to_string(static_cast<int>(ended.with_ms)) +
                            " ms with it",
                        kModule, __LINE__);
    }
  }
  scheduler.Ramp();
  StartNext();
}

void WorkerChain::OnDownloadProgress(FileDownload*) {
  ScopedLock guard(lock);
  RecountInProgress();
  if (scheduler.Ramp()) StartNext();
}

void WorkerChain::OnHostPushedBack(FileDownload*) {
  ScopedLock guard(lock);
  const int fewer = scheduler.PushedBack(clock());
  if (fewer == 0) return;
  Error::LogMessage(
      "WorkerChain: the host pushed back; " + std::to_string(fewer) + " parts at once for a while",
      kModule, __LINE__);
}

std::vector<PartView> WorkerChain::Parts() const {
  std::vector<PartView> parts;
  parts.reserve(workers.size());
  for (const Worker& worker : workers) {
    PartView part;
    part.size = worker.download->Request().part_size;
    part.started = worker.started;
    part.done = worker.counted_done;
    part.receiving = worker.download->State() == DOWNLOAD_RUNNING;
    part.received = worker.download->BytesReceived();
    part.started_at = worker.started_at;
    parts.push_back(part);
  }
  return parts;
}

void WorkerChain::RecountInProgress() {
  uint64_t in_progress = 0;
  for (const Worker& worker : workers) {
    if (!worker.started || worker.counted_done) continue;
    if (!Receiving(worker.download->State())) continue;
    in_progress +=
        std::min<uint64_t>(worker.download->BytesReceived(), worker.download->Request().part_size);
  }
  progress.bytes_in_progress.store(in_progress, std::memory_order_relaxed);
  scheduler.SetInProgress(in_progress);
}

bool WorkerChain::TogglePause() {
  ScopedLock guard(lock);
  const bool now_paused = !pause->IsPaused();
  pause->Set(now_paused);
  if (!now_paused) StartNext();
  return now_paused;
}

bool WorkerChain::IsPaused() const {
  ScopedLock guard(lock);
  return pause->IsPaused();
}
