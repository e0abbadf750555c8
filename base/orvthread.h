#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "base/criticalsection.h"
#include "base/flagevent.h"
#include "base/scopedhandle.h"
#include "base/stoptoken.h"

// Base of every object that owns a thread. The running flag is also the
// stop request: Run loops test it (through IsRunning) and end when it turns
// false, and every wait of a Run includes the stop event (StopEvent,
// WaitForStop, or running.WaitFor with its work), so that a stop is noticed
// within milliseconds. Derived classes whose Run uses their own fields must call
// Stop in their own destructor, before those fields go away. Threads that
// work for a download run (the run's own, its workers) share the run's stop
// (RunStop) instead: for them the flag only says whether the thread runs.
class Orv_Thread {
 public:
  Orv_Thread() = default;
  virtual ~Orv_Thread();
  Orv_Thread(const Orv_Thread&) = delete;
  Orv_Thread& operator=(const Orv_Thread&) = delete;

  // Starts Run on a new thread (StartThread), named ThreadName(); returns
  // its handle (still owned by this object), or null if no thread could be
  // created. Starting an object whose thread is still running returns that
  // thread's handle.
  virtual HANDLE Start();

 protected:
  virtual void Run() = 0;
  // The thread's name for debuggers and crash dumps.
  virtual std::wstring ThreadName() const { return L"Veltra thread"; }
  // An exception left Run (RunGuarded): `what` is its text, null for one of
  // unknown type. The thread ends after this. By default a log record.
  virtual void Failed(const char* what);

 public:
  // Asks the thread to stop and waits up to timeout_ms (INFINITE for no
  // limit). A thread that has not ended by then is terminated, with a log
  // record: the last resort for a Run that hangs in a call that ignores its
  // stop event. Safe to call from several threads at once.
  virtual void Stop(DWORD timeout_ms);
  // Asks the thread to stop without waiting, for an owner that must keep
  // its own thread answering the thread's window messages meanwhile.
  void RequestStop() { running.store(false, std::memory_order_relaxed); }

  // Waits until the thread of the last Start has ended (at once if none).
  void Wait() const;
  // `ended` (an event the caller owns, or null) is signalled each time a
  // thread of this object has ended, after IsRunning turned false: an owner
  // of many threads waits for any of them on one event.
  void SignalWhenEnded(HANDLE ended) { ended_event.store(ended, std::memory_order_relaxed); }

  bool IsRunning() const { return running.load(std::memory_order_relaxed); }
  // For the work Run hands on: it ends when this thread is asked to stop.
  StopToken Token() const { return StopToken(running); }
  DWORD ThreadId() const { return thread_id.load(std::memory_order_relaxed); }

 protected:
  // Signalled once a stop is asked for (and while no thread runs).
  HANDLE StopEvent() const { return running.ClearedEvent(); }
  // Waits up to timeout_ms; true when a stop was asked for.
  bool WaitForStop(DWORD timeout_ms) const { return running.WaitUntilClear(timeout_ms); }

  FlagEvent running;

 private:
  // The new thread: Run under the guard, then the end is made known.
  void ThreadBody();

  // Concurrent Stops: one waits and releases the handle, the others wait
  // for it to finish.
  mutable CriticalSection stop_lock;

  std::atomic<DWORD> thread_id{0};
  std::atomic<HANDLE> ended_event{nullptr};
  // Kept until the next Start, Stop or destruction, even after the thread
  // ended by itself, so an owner may wait on it at any time and the handle
  // is still released exactly once.
  UniqueHandle thread_handle;
};
