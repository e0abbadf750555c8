#include "download/workerchain.h"

#include <algorithm>
#include <string>
#include <utility>

#include "base/error.h"

namespace {

const char kModule[] = "downloadmanager";

// A finished worker's bytes stay in progress until its event moves them to
// done, so that the read-out never dips between the two.
bool Receiving(DownloadState state) {
  return state == DOWNLOAD_RUNNING || state == DOWNLOAD_SEEK_FAILED || state == DOWNLOAD_FINISHED;
}

}  // namespace

WorkerChain::WorkerChain(ProgressCounters& progress, int in_flight)
    : progress(progress),
      in_flight(std::max(1, in_flight)),
      transfer(std::make_shared<TransferContext>()),
      limit(1) {
  DownloadConnection::AllowConnectionsPerServer(static_cast<DWORD>(this->in_flight));
}

void WorkerChain::Begin() {
  ScopedLock guard(lock);
  first_ended = false;
  met_web_pages = false;
  limit.store(1, std::memory_order_relaxed);
  ramping = true;
  ended_bytes = 0;
  if (!transfer->StopRequested()) return;
  auto fresh = std::make_shared<TransferContext>();
  fresh->SetPaused(transfer->IsPaused());
  transfer = std::move(fresh);
}

void WorkerChain::AddFile(size_t file, std::vector<DownloadRequest> requests) {
  ScopedLock guard(lock);
  for (DownloadRequest& request : requests) {
    request.listener = this;
    Worker worker;
    worker.file = file;
    worker.download = std::make_unique<FileDownload>(std::move(request), transfer);
    workers.push_back(std::move(worker));
  }
  StartNext();
}

void WorkerChain::StartNext() {
  if (transfer->IsPaused() || transfer->StopRequested()) return;
  int running = 0;
  for (const Worker& worker : workers) {
    // A write failure stops the chain even before its event has arrived. A
    // finished worker may still be inside its last event, with its thread
    // not yet ended; it counts as done.
    const DownloadState state = worker.download->State();
    if (state == DOWNLOAD_WRITE_FAILED) return;
    if (worker.started && worker.download->IsRunning() && state != DOWNLOAD_FINISHED) ++running;
  }
  const int allowed = limit.load(std::memory_order_relaxed);
  for (Worker& worker : workers) {
    if (running >= allowed) return;
    if (worker.started) continue;
    worker.started = true;
    worker.thread = worker.download->Start();
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

WorkerChain::Outcome WorkerChain::WaitForFile(size_t file, bool more_to_add,
                                              const StopToken& stop,
                                              const std::function<void()>& between_waits) {
  for (;;) {
    // The stops first, so that they win a tie; then the threads of the
    // workers that run, or, while paused with none running, the resume.
    std::vector<HANDLE> waits{stop.Event()};
    {
      ScopedLock guard(lock);
      waits.push_back(transfer->Token().Event());
      if (met_web_pages) return Outcome::kWebPages;
      if (stop.StopRequested() || transfer->StopRequested()) return Outcome::kStopped;
      // A worker that ended by an exception stays idle and sends no event:
      // its part counts as missing and the next one is started here.
      StartNext();
      bool all_started = true;
      bool file_ended = true;
      for (const Worker& worker : workers) {
        if (worker.download->State() == DOWNLOAD_WRITE_FAILED) return Outcome::kNotSaved;
        all_started = all_started && worker.started;
        const bool running = worker.started && worker.download->IsRunning();
        // Done when every thread has ended, not merely set its state: a
        // finished worker still adds its part to bytes_done in its last
        // event.
        if (worker.file == file) file_ended = file_ended && worker.started && !running;
        if (running) waits.push_back(worker.thread);
      }
      // The next file's parts go in first: the merge of this one follows.
      if (more_to_add && all_started) return Outcome::kWantsMore;
      if (file_ended) return Outcome::kFileEnded;
      if (waits.size() == 2 && transfer->IsPaused()) waits.push_back(transfer->ResumeEvent());
    }
    between_waits();
    // With nothing to wait for (a worker whose thread could not start), the
    // next look comes after a short while.
    const DWORD timeout = waits.size() == 2 ? 100 : INFINITE;
    ::WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, timeout);
  }
}

void WorkerChain::RequestStop() {
  ScopedLock guard(lock);
  transfer->RequestStop();
}

void WorkerChain::StopAll() {
  std::vector<Worker> ending;
  {
    ScopedLock guard(lock);
    transfer->RequestStop();
    progress.bytes_in_progress.store(0, std::memory_order_relaxed);
    ending.swap(workers);
  }
  // Waited for outside the lock: a worker may be inside an event that waits
  // for the lock right now.
  for (Worker& worker : ending) worker.download->Stop(INFINITE);
}

void WorkerChain::OnDownloadFinished(FileDownload* download) {
  ScopedLock guard(lock);
  if (!std::exchange(first_ended, true) && download->MetOnlyWebPages()) {
    // The network replaces the download: every other part would meet the
    // same, so none goes on.
    met_web_pages = true;
    transfer->RequestStop();
    return;
  }
  const int allowed = limit.load(std::memory_order_relaxed);
  if (allowed < in_flight && ::GetTickCount64() >= fallback_until) {
    // The host has had a while: one more connection, and another after the
    // next part if it keeps up.
    limit.store(allowed + 1, std::memory_order_relaxed);
  }
  for (Worker& worker : workers) {
    if (worker.download.get() != download || worker.counted_done) continue;
    // The finished part moves from in progress to done: taken out first, so
    // that a reader never sees it counted twice.
    worker.counted_done = true;
    RecountInProgress();
    progress.bytes_done.fetch_add(download->Request().part_size, std::memory_order_relaxed);
    ended_bytes += download->BytesReceived();
  }
  Ramp();
  StartNext();
}

void WorkerChain::OnDownloadProgress(FileDownload*) {
  ScopedLock guard(lock);
  RecountInProgress();
  Ramp();
}

void WorkerChain::Ramp() {
  const int allowed = limit.load(std::memory_order_relaxed);
  if (!ramping || allowed >= in_flight) return;
  if (ended_bytes + in_progress_bytes < kRampBytes * static_cast<uint64_t>(allowed)) return;
  limit.store(allowed + 1, std::memory_order_relaxed);
  ramping = allowed + 1 < in_flight;
  StartNext();
}

void WorkerChain::OnHostPushedBack(FileDownload*) {
  ScopedLock guard(lock);
  ramping = false;
  fallback_until = ::GetTickCount64() + kFallbackMs;
  const int allowed = limit.load(std::memory_order_relaxed);
  const int fewer = std::max(1, allowed / 2);
  if (fewer == allowed) return;
  limit.store(fewer, std::memory_order_relaxed);
  Error::LogMessage(
      "WorkerChain: the host pushed back; " + std::to_string(fewer) + " parts at once for a while",
      kModule, __LINE__);
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
  in_progress_bytes = in_progress;
}

bool WorkerChain::TogglePause() {
  ScopedLock guard(lock);
  const bool now_paused = !transfer->IsPaused();
  transfer->SetPaused(now_paused);
  if (!now_paused) StartNext();
  return now_paused;
}

bool WorkerChain::IsPaused() const {
  ScopedLock guard(lock);
  return transfer->IsPaused();
}
