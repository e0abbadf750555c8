#include "download/workerchain.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "base/error.h"
#include "download/releasemanifest.h"

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
  held = 0;
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
  const int allowed = std::max(1, limit.load(std::memory_order_relaxed) - held);
  for (Worker& worker : workers) {
    if (running >= allowed) return;
    if (worker.started) continue;
    worker.started = true;
    worker.started_at = ::GetTickCount64();
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

WorkerChain::Outcome WorkerChain::WaitForFile(size_t file, bool more_to_add, uint64_t bytes_to_come,
                                              const StopToken& stop,
                                              const std::function<void()>& between_waits) {
  {
    ScopedLock guard(lock);
    this->bytes_to_come = bytes_to_come;
  }
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
    HoldSlowConnection(worker);
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

namespace {

// A connection as the chain sees it: busy until `free_ms` from now, then
// `ms_per_byte` for each byte of a part.
struct Lane {
  double free_ms = 0;
  double ms_per_byte = 0;
};

// When the last part ends if each part, in order, goes to the lane where it
// would end first: a connection that would still be on a part after a
// faster one had ended it is left idle by the same rule when it frees. The
// first part goes to lane `first` when one is given.
double LastEnd(std::vector<Lane> lanes, const std::vector<double>& parts,
               std::optional<size_t> first = std::nullopt) {
  for (size_t i = 0; i < parts.size(); ++i) {
    const auto end = [&](const Lane& lane) { return lane.free_ms + parts[i] * lane.ms_per_byte; };
    Lane& lane =
        i == 0 && first
            ? lanes[*first]
            : *std::min_element(lanes.begin(), lanes.end(),
                                [&](const Lane& a, const Lane& b) { return end(a) < end(b); });
    lane.free_ms = end(lane);
  }
  double last = 0;
  for (const Lane& lane : lanes) last = std::max(last, lane.free_ms);
  return last;
}

}  // namespace

void WorkerChain::HoldSlowConnection(const Worker& ended) {
  // A connection opened into a full line can stay far behind the others for
  // the whole run (the server's congestion control grows a small window
  // slowly on a long round trip), and a last part that lands on it trickles
  // in long after the others have ended. So near the end of the run, a
  // connection is left idle for the rest of it when the parts left would
  // all be in a good while sooner without it, at the pace each connection
  // has had (paces swing on a lossy line: a small gain is no gain).
  const size_t kNearTheEnd = 4 * static_cast<size_t>(in_flight);
  constexpr double kWorthMs = 1000;
  const ULONGLONG now = ::GetTickCount64();
  std::vector<double> parts;
  std::vector<Lane> others;
  // Parts just started, with nothing read yet: their connections' paces are
  // not known, so they are taken at the others' mean. (A read under Wine
  // returns only once its buffer is full, so a slow connection shows
  // nothing for a while; skipping the check then would let it take a part.)
  std::vector<double> unpaced;
  double paces = 0;
  for (const Worker& worker : workers) {
    const double size = worker.download->Request().part_size;
    if (!worker.started) {
      parts.push_back(size);
      continue;
    }
    if (&worker == &ended || worker.counted_done) continue;
    if (worker.download->State() != DOWNLOAD_RUNNING) continue;
    const double received = std::min<double>(worker.download->BytesReceived(), size);
    if (received <= 0 || now <= worker.started_at) {
      unpaced.push_back(size);
      continue;
    }
    const double ms_per_byte = static_cast<double>(now - worker.started_at) / received;
    others.push_back(Lane{(size - received) * ms_per_byte, ms_per_byte});
    paces += ms_per_byte;
  }
  if (others.empty()) return;
  const double mean_pace = paces / static_cast<double>(others.size());
  for (double size : unpaced) others.push_back(Lane{size * mean_pace, mean_pace});
  for (uint64_t left = bytes_to_come; left > 0 && parts.size() <= kNearTheEnd;) {
    const uint64_t part = std::min<uint64_t>(left, kPartSize);
    parts.push_back(static_cast<double>(part));
    left -= part;
  }
  const double ended_size = ended.download->Request().part_size;
  if (parts.empty() || parts.size() > kNearTheEnd || ended_size <= 0) return;
  const double ended_ms = static_cast<double>(now - ended.started_at);
  std::vector<Lane> with_it = others;
  with_it.push_back(Lane{0, ended_ms / ended_size});
  const double without_ms = LastEnd(others, parts);
  const double with_ms = LastEnd(with_it, parts, with_it.size() - 1);
  if (without_ms + kWorthMs > with_ms) return;
  ++held;
  Error::LogMessage("WorkerChain: a connection is left idle: the parts left end in " +
                        std::to_string(static_cast<int>(without_ms)) + " ms without it, " +
                        std::to_string(static_cast<int>(with_ms)) + " ms with it",
                    kModule, __LINE__);
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
