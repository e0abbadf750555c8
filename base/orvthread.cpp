#include "base/orvthread.h"

#include <process.h>

Orv_Thread::~Orv_Thread() {
  // Waits for a thread that is still running; one that ended by itself has a
  // signalled handle and costs nothing.
  Orv_Thread::Stop(INFINITE);
  Wait();
}

HANDLE Orv_Thread::Start() {
  if (IsRunning() && thread_handle) return thread_handle.Get();
  // A previous thread has finished its Run; let it leave its entry before
  // its handle is released and the fields are reused.
  Wait();
  thread_handle.Reset();

  running.store(true, std::memory_order_relaxed);
  unsigned id = 0;
  // Created suspended so that the fields are set before Run can end and
  // clear them.
  HANDLE handle = reinterpret_cast<HANDLE>(
      _beginthreadex(nullptr, 0, &Orv_Thread::ThreadEntry, this, CREATE_SUSPENDED, &id));
  if (handle == nullptr) {
    // No thread will ever clear the flag; leaving it set would make every
    // loop that waits for this object wait forever.
    running.store(false, std::memory_order_relaxed);
    return nullptr;
  }
  thread_handle.Reset(handle);
  thread_id.store(id, std::memory_order_relaxed);
  ::ResumeThread(handle);
  return handle;
}

void Orv_Thread::Stop(DWORD timeout_ms) {
  if (!IsRunning() || !thread_handle) return;
  running.store(false, std::memory_order_relaxed);
  // A Run that stops its own object cannot wait for itself.
  if (thread_id.load(std::memory_order_relaxed) == ::GetCurrentThreadId()) return;
  if (::WaitForSingleObject(thread_handle.Get(), timeout_ms) == WAIT_TIMEOUT) {
    ::TerminateThread(thread_handle.Get(), 0);
    ::WaitForSingleObject(thread_handle.Get(), INFINITE);
  }
  thread_handle.Reset();
  thread_id.store(0, std::memory_order_relaxed);
}

void Orv_Thread::Wait() const {
  if (thread_handle && thread_id.load(std::memory_order_relaxed) != ::GetCurrentThreadId()) {
    ::WaitForSingleObject(thread_handle.Get(), INFINITE);
  }
}

unsigned __stdcall Orv_Thread::ThreadEntry(void* self) {
  auto* thread = static_cast<Orv_Thread*>(self);
  thread->Run();
  thread->thread_id.store(0, std::memory_order_relaxed);
  thread->running.store(false, std::memory_order_relaxed);
  return 0;
}
