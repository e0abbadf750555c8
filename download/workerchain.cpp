#include "download/workerchain.h"

#include <algorithm>

void WorkerChain::Add(std::vector<std::unique_ptr<FileDownload>> downloads) {
  ScopedLock guard(lock);
  for (std::unique_ptr<FileDownload>& download : downloads) {
    download->SetPaused(paused.load(std::memory_order_relaxed));
    workers.push_back(Worker{std::move(download), false, nullptr});
  }
  StartNext();
}

void WorkerChain::StartNext() {
  if (halted.load(std::memory_order_relaxed) || paused.load(std::memory_order_relaxed)) return;
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

bool WorkerChain::AllFinished() {
  ScopedLock guard(lock);
  return std::all_of(workers.begin(), workers.end(), [](const Worker& worker) {
    return worker.download->State() == DOWNLOAD_FINISHED;
  });
}

void WorkerChain::Release() {
  std::vector<Worker> ended;
  {
    ScopedLock guard(lock);
    ended.swap(workers);
  }
}

bool WorkerChain::WaitForAll(const StopToken& stop, const std::function<void()>& between_waits) {
  for (;;) {
    // What to wait for next: the thread of the worker that is running, or,
    // while paused with none running, the resume.
    HANDLE wait = nullptr;
    {
      ScopedLock guard(lock);
      if (stop.StopRequested() || halted.load(std::memory_order_relaxed)) return false;
      // A worker that ended by an exception stays idle and sends no event:
      // its part counts as missing and the next one is started here.
      StartNext();
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
    between_waits();
    if (wait == nullptr) continue;  // a worker whose thread could not start
    stop.WaitFor(wait, INFINITE);
  }
}

void WorkerChain::StopAll() {
  std::vector<Worker> ending;
  {
    ScopedLock guard(lock);
    progress.bytes_in_progress.store(0, std::memory_order_relaxed);
    ending.swap(workers);
  }
  // Waited for outside the lock: a worker may be inside an event that waits
  // for the lock right now.
  for (Worker& worker : ending) worker.download->Stop(INFINITE);
}

void WorkerChain::OnFinished(const FileDownload& download) {
  ScopedLock guard(lock);
  StartNext();
  // The finished part moves from in progress to done: taken out first, so
  // that a reader never sees it counted twice.
  RecountInProgress();
  progress.bytes_done.fetch_add(download.Request().part_size, std::memory_order_relaxed);
}

void WorkerChain::OnProgress() {
  ScopedLock guard(lock);
  RecountInProgress();
}

void WorkerChain::RecountInProgress() {
  uint64_t in_progress = 0;
  for (const Worker& worker : workers) {
    const DownloadState state = worker.download->State();
    if (state != DOWNLOAD_RUNNING && state != DOWNLOAD_SEEK_FAILED) continue;
    in_progress +=
        std::min<uint64_t>(worker.download->BytesReceived(), worker.download->Request().part_size);
  }
  progress.bytes_in_progress.store(in_progress, std::memory_order_relaxed);
}

bool WorkerChain::TogglePause() {
  ScopedLock guard(lock);
  const bool now_paused = !paused.load(std::memory_order_relaxed);
  paused.store(now_paused, std::memory_order_relaxed);
  for (Worker& worker : workers) worker.download->SetPaused(now_paused);
  if (!now_paused) {
    StartNext();
    ::SetEvent(resume_event.Get());
  }
  return now_paused;
}
