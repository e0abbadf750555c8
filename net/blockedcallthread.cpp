#include "net/blockedcallthread.h"

#include <exception>
#include <string>
#include <utility>

#include "base/error.h"
#include "base/errorcodes.h"
#include "base/threadstart.h"

namespace {

const char kModule[] = "blockedcallthread";

// The one thread that waits for an owner.
CriticalSection idle_lock;
std::shared_ptr<BlockedCallThread> idle;

}  // namespace

std::shared_ptr<BlockedCallThread> BlockedCallThread::Acquire() {
  {
    ScopedLock lock(idle_lock);
    if (idle) return std::move(idle);
  }
  return Create();
}

void BlockedCallThread::Release(std::shared_ptr<BlockedCallThread> thread) {
  if (!thread) return;
  {
    ScopedLock lock(idle_lock);
    if (!idle) {
      idle = std::move(thread);
      return;
    }
  }
  thread->Retire();
}

std::shared_ptr<BlockedCallThread> BlockedCallThread::Create() {
  std::shared_ptr<BlockedCallThread> runner(new BlockedCallThread());
  if (!runner->wake_ || !runner->done_) return nullptr;
  // The thread owns the runner too: an abandoned call still has its events.
  // Not an Orv_Thread: its owner must be able to leave without waiting, so
  // the handle is let go at once.
  if (!StartThread(L"Veltra blocking calls", [runner] { runner->Loop(); }).handle) return nullptr;
  return runner;
}

void BlockedCallThread::Loop() {
  for (;;) {
    ::WaitForSingleObject(wake_.Get(), INFINITE);
    std::function<void()> call;
    {
      ScopedLock lock(lock_);
      call = std::move(pending_);
      pending_ = nullptr;
    }
    if (call) {
      // An exception in one call (an allocation that fails for a body
      // bigger than memory) ends that call only: its own result stays a
      // failure, and the thread serves the next call.
      RunGuarded(call, [](const char* what) {
        Error::LogError(
            std::string("BlockedCallThread: Obviously a major malfunction in a call. Message: ") +
                (what != nullptr ? what : "unknown exception"),
            static_cast<uint32_t>(DL_MANAGER_WIN32_EXCEPTION), kModule, __LINE__);
      });
      // What the call captured (an abandoned request's handles) goes now,
      // not when the next call comes.
      call = nullptr;
      ::SetEvent(done_.Get());
    }
    if (retired_.load(std::memory_order_relaxed)) return;
  }
}

BlockedCallThread::Outcome BlockedCallThread::Run(std::function<void()> call, const StopToken& stop,
                                                  HANDLE progress,
                                                  const std::function<void()>& on_progress) {
  {
    ScopedLock lock(lock_);
    pending_ = std::move(call);
  }
  ::SetEvent(wake_.Get());
  // The stop first: it wins a tie.
  const HANDLE waits[] = {stop.Event(), done_.Get(), progress};
  const DWORD count = progress ? 3 : 2;
  for (;;) {
    const DWORD woken = ::WaitForMultipleObjects(count, waits, FALSE, INFINITE);
    if (woken == WAIT_OBJECT_0 + 1) return Outcome::kDone;
    if (woken != WAIT_OBJECT_0 + 2) {
      // The stop, or a failed wait, which would fail again at once.
      Retire();
      return Outcome::kStopped;
    }
    if (on_progress) on_progress();
  }
}

void BlockedCallThread::Retire() {
  retired_.store(true, std::memory_order_relaxed);
  ::SetEvent(wake_.Get());
}
