#include "base/orvthread.h"

#include <process.h>

#include <exception>
#include <string>

#include "base/error.h"
#include "base/errorcodes.h"
#include "base/faulttranslator.h"

namespace {

const char kModule[] = "orvthread";

}  // namespace

Orv_Thread::~Orv_Thread() {
  // Waits for a thread that is still running; one that ended by itself has a
  // signalled handle and costs nothing.
  Orv_Thread::Stop(INFINITE);
  Wait();
}

HANDLE Orv_Thread::Start() {
  ScopedLock lock(stop_lock);
  if (IsRunning() && thread_handle) return thread_handle.Get();
  // A previous thread has finished its Run; let it leave its entry before
  // its handle is released and the fields are reused.
  if (thread_handle) ::WaitForSingleObject(thread_handle.Get(), INFINITE);
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
  RequestStop();
  // A Run that stops its own object cannot wait for itself.
  if (thread_id.load(std::memory_order_relaxed) == ::GetCurrentThreadId()) return;
  ScopedLock lock(stop_lock);
  if (!thread_handle) return;
  if (::WaitForSingleObject(thread_handle.Get(), timeout_ms) == WAIT_TIMEOUT) {
    // Recorded before the termination: the thread may hold the log's lock
    // when it is cut short, and then no later record could be made.
    Error::LogError("Orv_Thread::Stop thread " +
                        std::to_string(thread_id.load(std::memory_order_relaxed)) +
                        " did not end within " + std::to_string(timeout_ms) +
                        " ms; terminating it",
                    WAIT_TIMEOUT, kModule, __LINE__);
    ::TerminateThread(thread_handle.Get(), 0);
    ::WaitForSingleObject(thread_handle.Get(), INFINITE);
  }
  thread_handle.Reset();
  thread_id.store(0, std::memory_order_relaxed);
}

void Orv_Thread::Wait() const {
  if (thread_id.load(std::memory_order_relaxed) == ::GetCurrentThreadId()) return;
  ScopedLock lock(stop_lock);
  if (thread_handle) ::WaitForSingleObject(thread_handle.Get(), INFINITE);
}

void Orv_Thread::RunGuarded() {
  // Faults in our own code become exceptions here too, for the threads
  // whose Run has no failure path of its own.
  InstallSeTranslator();
  try {
    Run();
  } catch (const std::exception& e) {
    Error::LogError(
        std::string("Orv_Thread: Obviously a major malfunction. Thread ended. Message: ") +
            e.what(),
        static_cast<uint32_t>(DL_MANAGER_WIN32_EXCEPTION), kModule, __LINE__);
  } catch (...) {
    Error::LogError("Orv_Thread: Obviously a major malfunction. Thread ended by an unknown "
                    "exception.",
                    static_cast<uint32_t>(DL_MANAGER_WIN32_EXCEPTION), kModule, __LINE__);
  }
}

unsigned __stdcall Orv_Thread::ThreadEntry(void* self) {
  auto* thread = static_cast<Orv_Thread*>(self);
  thread->RunGuarded();
  thread->thread_id.store(0, std::memory_order_relaxed);
  thread->running.store(false, std::memory_order_relaxed);
  return 0;
}
