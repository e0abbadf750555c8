#pragma once

#include <windows.h>

#include <atomic>

#include "base/scopedhandle.h"

// Base of every object that owns a thread. The running flag is also the
// stop request: Run loops poll it (through IsRunning) and end when it turns
// false. Derived classes whose Run uses their own fields must call Stop in
// their own destructor, before those fields go away.
class Orv_Thread {
 public:
  Orv_Thread() = default;
  virtual ~Orv_Thread();
  Orv_Thread(const Orv_Thread&) = delete;
  Orv_Thread& operator=(const Orv_Thread&) = delete;

  // Starts Run on a new thread; returns its handle (still owned by this
  // object), or null if no thread could be created. Starting an object whose
  // thread is still running returns that thread's handle.
  virtual HANDLE Start();

 protected:
  virtual void Run() = 0;

 public:
  // Asks the thread to stop and waits up to timeout_ms (INFINITE for no
  // limit); a thread that has not ended by then is terminated.
  virtual void Stop(DWORD timeout_ms);

  // Waits until the thread of the last Start has ended (at once if none).
  void Wait() const;

  bool IsRunning() const { return running.load(std::memory_order_relaxed); }
  DWORD ThreadId() const { return thread_id.load(std::memory_order_relaxed); }

 protected:
  std::atomic<bool> running{false};

 private:
  static unsigned __stdcall ThreadEntry(void* self);

  std::atomic<DWORD> thread_id{0};
  // Kept until the next Start, Stop or destruction, even after the thread
  // ended by itself, so an owner may wait on it at any time and the handle
  // is still released exactly once.
  UniqueHandle thread_handle;
};
