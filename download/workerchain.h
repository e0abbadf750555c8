#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "base/criticalsection.h"
#include "base/stoptoken.h"
#include "base/transfercontext.h"
#include "download/downloadprogress.h"
#include "net/filedownload.h"

// The workers of the files being downloaded, up to a number of them at once,
// each on its own connection: starts the next as one ends (the next file's
// parts once the file before has all of its parts started), holds them all
// while the user pauses, counts the bytes they have received, and is their
// listener. It owns the transfer's stop and pause (TransferContext), which
// every worker, its connection and its reads share. A host that pushes back
// (503, a reset) makes it run fewer at once for a while.
//
// The run's thread adds and waits; the workers' events and the pause button
// come from other threads, so everything here is under one lock that no disk
// or network work is ever done under.
class WorkerChain : public IDownloadListener {
 public:
  // How long a host that pushed back gets fewer connections before one more
  // is tried.
  static constexpr ULONGLONG kFallbackMs = 30000;
  // A run opens its connections one after another, the next once this much
  // more has arrived: connections that all start at once overflow the
  // line's queue together at the end of their slow starts.
  static constexpr uint64_t kRampBytes = 1000000;

  WorkerChain(ProgressCounters& progress, int in_flight);

  // Before a run: a transfer that was stopped is replaced by a fresh one,
  // paused as the last one was, no part has ended yet, and the connections
  // open one after another again.
  void Begin();

  // Adds a worker for each request of file `file`, after those added
  // before, paused when the chain is, and starts as many as may run. A file
  // with no requests is added too: it ends at once, in its turn.
  void AddFile(size_t file, std::vector<DownloadRequest> requests);
  enum class Outcome { kFileEnded, kWantsMore, kStopped, kNotSaved, kWebPages };
  // With `more_to_add`, until every worker added has started, so that the
  // next file's parts keep the connections busy (kWantsMore); until every
  // worker of `file` has ended (kFileEnded); until `stop` or the transfer's
  // stop came (kStopped), a part could not be saved (kNotSaved) or the first
  // part of the run to end met nothing but web pages, which stops the
  // transfer (kWebPages). `between_waits` runs on each wake. `bytes_to_come`:
  // the size of the files not added yet, at most (some of their parts may
  // be on disk).
  Outcome WaitForFile(size_t file, bool more_to_add, uint64_t bytes_to_come, const StopToken& stop,
                      const std::function<void()>& between_waits);
  // Once `file` has ended: whether each of its workers ended normally; its
  // workers are destroyed.
  bool DestroyFileWorkers(size_t file);
  // Stops the transfer: every worker notices at once. Returns at once.
  void RequestStop();
  // Stops the transfer and waits until every worker has ended.
  void StopAll();

  // Pauses or resumes the transfer; returns the new state.
  bool TogglePause();
  bool IsPaused() const;

  // IDownloadListener, on the workers' threads.
  void OnDownloadFinished(FileDownload* download) override;
  void OnDownloadProgress(FileDownload* download) override;
  void OnHostPushedBack(FileDownload* download) override;

 private:
  struct Worker {
    size_t file = 0;
    std::unique_ptr<FileDownload> download;
    bool started = false;
    // Its part has moved from in progress to done.
    bool counted_done = false;
    // Owned by the worker; signalled when its thread has ended.
    HANDLE thread = nullptr;
    ULONGLONG started_at = 0;  // GetTickCount64
  };

  // Under lock: starts workers not yet started while fewer than the limit
  // run, unless a part could not be saved or the transfer is paused.
  void StartNext();
  // Under lock: bytes received by the workers still receiving.
  void RecountInProgress();
  // Under lock: one more connection once enough has arrived on those open.
  void Ramp();
  // Under lock, as `ended` has ended: its connection is left idle when the
  // others would be done with everything left before it with one more part.
  void HoldSlowConnection(const Worker& ended);

  ProgressCounters& progress;
  const int in_flight;
  std::vector<Worker> workers;
  mutable CriticalSection lock;
  std::shared_ptr<TransferContext> transfer;
  std::atomic<int> limit;
  // Until then the limit stays down after a push-back (GetTickCount64).
  ULONGLONG fallback_until = 0;
  // The run's connections are still being opened one after another.
  bool ramping = true;
  // Connections left idle near the end of this run, taken off the limit.
  int held = 0;
  // The size of the files not added yet (at most), from the last wait.
  uint64_t bytes_to_come = 0;
  // Bytes received in this run: the parts that ended, and those in flight.
  uint64_t ended_bytes = 0;
  uint64_t in_progress_bytes = 0;
  // A part of this run has ended; the first one met only web pages.
  bool first_ended = false;
  bool met_web_pages = false;
};
