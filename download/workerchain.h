#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "base/criticalsection.h"
#include "base/scopedhandle.h"
#include "base/stoptoken.h"
#include "download/downloadprogress.h"
#include "net/filedownload.h"

// The workers of the file being downloaded, one running at a time: starts
// the next when one ends, holds them while the user pauses, and counts the
// bytes they have received. The run's thread adds and waits; the workers'
// events and the pause button come from other threads, so everything here
// is under one lock that no disk or network work is ever done under.
class WorkerChain {
 public:
  explicit WorkerChain(ProgressCounters& progress) : progress(progress) {}

  // Adds the workers of one file, paused when the chain is, and starts the
  // first unless one is running.
  void Add(std::vector<std::unique_ptr<FileDownload>> downloads);
  // True when every worker of the file has ended; false when a stop came or
  // the chain was halted first. `between_waits` runs on each wake.
  bool WaitForAll(const StopToken& stop, const std::function<void()>& between_waits);
  bool AllFinished();
  // Once a file's workers have all ended: frees them before the next file.
  void Release();
  // Stops every worker and waits until all have ended.
  void StopAll();

  // The workers' events.
  void OnFinished(const FileDownload& download);
  void OnProgress();

  // Pauses or resumes every worker held now or added later; returns the new
  // state.
  bool TogglePause();
  bool IsPaused() const { return paused.load(std::memory_order_relaxed); }

  // A part file could not be written: no further part is fetched in this
  // run.
  void Halt() { halted.store(true, std::memory_order_relaxed); }
  bool IsHalted() const { return halted.load(std::memory_order_relaxed); }

 private:
  struct Worker {
    std::unique_ptr<FileDownload> download;
    bool started = false;
    // Owned by the worker; signalled when its thread has ended.
    HANDLE thread = nullptr;
  };

  // Under lock: starts the first worker not yet started, unless one is
  // still running, the chain is halted or paused.
  void StartNext();
  // Under lock: bytes received by the workers still receiving.
  void RecountInProgress();

  ProgressCounters& progress;
  std::vector<Worker> workers;
  CriticalSection lock;
  // Set when a paused download resumes, so that a run waiting for the next
  // worker to start wakes up.
  UniqueHandle resume_event{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  // Written under lock, so that it and the workers' flags agree.
  std::atomic<bool> paused{false};
  std::atomic<bool> halted{false};
};
