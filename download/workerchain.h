#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "base/clock.h"
#include "base/criticalsection.h"
#include "base/runstop.h"
#include "base/scopedhandle.h"
#include "download/downloadprogress.h"
#include "download/partscheduler.h"
#include "net/filedownload.h"

// The workers of the files being downloaded, each on its own connection:
// starts the next as one ends (the next file's parts once the file before
// has all of its parts started), as many at once as the scheduler
// (PartScheduler) allows, holds them all while the user pauses, counts the
// bytes they have received, and is their listener. Every worker shares the
// run's stop, and the pause, which the chain owns.
//
// The run's thread adds and waits; the workers' events and the pause button
// come from other threads, so everything here is under one lock that no disk
// or network work is ever done under.
class WorkerChain : public IDownloadListener {
 public:
  WorkerChain(ProgressCounters& progress, int in_flight, std::shared_ptr<RunStop> stop,
              Clock clock = SystemClock());

  // Before a run: no part has ended yet, and the connections open one after
  // another again. The pause stays as it was.
  void Begin();

  // Adds a worker for each request of file `file`, after those added
  // before, paused when the chain is, and starts as many as may run. A file
  // with no requests is added too: it ends at once, in its turn.
  void AddFile(size_t file, std::vector<DownloadRequest> requests);
  enum class Outcome { kFileEnded, kWantsMore, kStopped, kNotSaved, kWebPages };
  // With `more_to_add`, until every worker added has started, so that the
  // next file's parts keep the connections busy (kWantsMore); until every
  // worker of `file` has ended (kFileEnded); until the run's stop came
  // (kStopped), a part could not be saved (kNotSaved) or the first part of
  // the run to end met nothing but web pages (kWebPages; the run is
  // stopped). `between_waits` runs on each wake. `bytes_to_come`: the size
  // of the files not added yet, at most (some of their parts may be on
  // disk).
  Outcome WaitForFile(size_t file, bool more_to_add, uint64_t bytes_to_come,
                      const std::function<void()>& between_waits);
  // Once `file` has ended: whether each of its workers ended normally; its
  // workers are destroyed.
  bool DestroyFileWorkers(size_t file);
  // After the run's stop: waits until every worker has ended.
  void EndAll();

  // Pauses or resumes the parts; returns the new state.
  bool TogglePause();
  bool IsPaused() const;
  // Parts whose workers hold for the pause right now.
  int PartsHeld() const { return pause->Holding(); }

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
    uint64_t started_at = 0;  // clock()
  };

  // Under lock: starts workers not yet started while fewer than allowed
  // run, unless a part could not be saved or the parts are paused.
  void StartNext();
  // Under lock: bytes received by the workers still receiving.
  void RecountInProgress();
  // Under lock: the parts as the scheduler sees them.
  std::vector<PartView> Parts() const;

  ProgressCounters& progress;
  const std::shared_ptr<RunStop> stop;
  const Clock clock;
  const std::shared_ptr<RunPause> pause = std::make_shared<RunPause>();
  // Signalled by each worker's thread as it ends.
  UniqueHandle worker_ended{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  std::vector<Worker> workers;
  mutable CriticalSection lock;
  PartScheduler scheduler;
  // The size of the files not added yet (at most), from the last wait.
  uint64_t bytes_to_come = 0;
  // A part of this run has ended; the first one met only web pages.
  bool first_ended = false;
  bool met_web_pages = false;
};
