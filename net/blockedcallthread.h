#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>

#include "base/criticalsection.h"
#include "base/scopedhandle.h"
#include "base/stoptoken.h"

// WinINet under Wine does not wake a call blocked on the peer (a send, a
// read, a write) when its handle is closed, so a thread blocked there cannot
// be stopped. Such calls run on this thread instead, one after another, and
// their caller waits for the call or its stop, whichever comes first. On a
// stop the caller walks away: the call finishes on its own (a timeout ends
// it at the latest), and this thread ends after it. Whatever a call touches
// must therefore be owned by the call itself (captured by value).
class BlockedCallThread {
 public:
  enum class Outcome { kDone, kStopped };

  // The thread that waits for an owner, or a new one; null when no thread
  // or event could be had.
  static std::shared_ptr<BlockedCallThread> Acquire();
  // An owner is done with `thread` (no call of its own running): it waits
  // for the next owner, unless one waits already. Workers fetch one part
  // after another, and a thread per part costs its creation and, under
  // Wine, a stack that is freed only later.
  static void Release(std::shared_ptr<BlockedCallThread> thread);

  BlockedCallThread(const BlockedCallThread&) = delete;
  BlockedCallThread& operator=(const BlockedCallThread&) = delete;
  ~BlockedCallThread() = default;

  // Makes `call` on this thread and waits for it to return or for the stop.
  // While waiting, every signal of `progress` (an auto-reset event, or
  // null) runs on_progress on the caller's thread. After kStopped the thread
  // is retired: drop it and create another for the next call.
  Outcome Run(std::function<void()> call, const StopToken& stop, HANDLE progress = nullptr,
              const std::function<void()>& on_progress = {});

  // Ends the thread once its current call, if any, has returned.
  void Retire();

 private:
  BlockedCallThread() = default;
  static std::shared_ptr<BlockedCallThread> Create();
  // The thread: one call after another until retired.
  void Loop();

  UniqueHandle wake_{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  // One per thread, reused by every call: a thread whose call was abandoned
  // is retired, so a late signal never answers another call.
  UniqueHandle done_{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  CriticalSection lock_;
  std::function<void()> pending_;
  std::atomic<bool> retired_{false};
};
