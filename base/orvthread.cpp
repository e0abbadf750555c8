#include "base/orvthread.h"

#include <exception>
#include <string>

#include "base/error.h"
#include "base/errorcodes.h"
#include "base/threadstart.h"

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
  // Created suspended so that the fields are set before Run can end and
  // clear them.
  StartedThread started = StartThread(
      ThreadName(), [this] { ThreadBody(); }, true);
  if (!started.handle) {
    // No thread will ever clear the flag; leaving it set would make every
    // loop that waits for this object wait forever.
    running.store(false, std::memory_order_relaxed);
    return nullptr;
  }
  thread_handle.Reset(started.handle.Release());
  thread_id.store(started.id, std::memory_order_relaxed);
  ::ResumeThread(thread_handle.Get());
  return thread_handle.Get();
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

void Orv_Thread::Failed(const char* what) {
  if (what != nullptr) {
    Error::LogError(
        std::string("Orv_Thread: Obviously a major malfunction. Thread ended. Message: ") + what,
        static_cast<uint32_t>(DL_MANAGER_WIN32_EXCEPTION), kModule, __LINE__);
  } else {
    Error::LogError("Orv_Thread: Obviously a major malfunction. Thread ended by an unknown "
                    "exception.",
                    static_cast<uint32_t>(DL_MANAGER_WIN32_EXCEPTION), kModule, __LINE__);
  }
}

void Orv_Thread::ThreadBody() {
  RunGuarded([this] { Run(); }, [this](const char* what) { Failed(what); });
  thread_id.store(0, std::memory_order_relaxed);
  running.store(false, std::memory_order_relaxed);
  // Read before the signal: the owner may destroy this object once woken.
  const HANDLE ended = ended_event.load(std::memory_order_relaxed);
  if (ended != nullptr) ::SetEvent(ended);
}
