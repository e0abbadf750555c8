#include "download/blockreader.h"

namespace {

constexpr DWORD kWaitSliceMs = 100;

}  // namespace

BlockReader::BlockReader() {
  for (Slot& slot : slots_) {
    slot.free.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    slot.filled.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  }
}

BlockReader::~BlockReader() { End(); }

void BlockReader::Begin(HANDLE file, DWORD size, size_t count) {
  End();
  file_ = file;
  size_ = size;
  count_ = count;
  next_ = 0;
  // Allocated here, so that the reading thread never allocates.
  for (Slot& slot : slots_) {
    slot.buffer.Reserve(size);
    ::ResetEvent(slot.filled.Get());
    ::SetEvent(slot.free.Get());
  }
  // Without events or a thread the blocks are read in Next instead.
  const bool events = slots_[0].free && slots_[0].filled && slots_[1].free && slots_[1].filled;
  thread_ = events && count > 0 ? Start() : nullptr;
}

bool BlockReader::Next(const uint8_t*& data, DWORD& read, DWORD& error) {
  Slot& slot = slots_[next_ % 2];
  if (next_ > 0) ::SetEvent(slots_[(next_ - 1) % 2].free.Get());
  ++next_;
  data = slot.buffer.Data();
  if (!thread_) {
    const bool ok = ReadBlock(file_, slot.buffer.Data(), size_, read);
    error = ok ? 0 : ::GetLastError();
    return ok;
  }
  // The thread ends without filling the slot only when it was stopped.
  const HANDLE waits[] = {slot.filled.Get(), thread_};
  if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
    read = 0;
    error = ERROR_OPERATION_ABORTED;
    return false;
  }
  read = slot.read;
  error = slot.error;
  return slot.ok;
}

void BlockReader::End() {
  Stop(INFINITE);
  thread_ = nullptr;
}

void BlockReader::Run() {
  for (size_t k = 0; k < count_; ++k) {
    Slot& slot = slots_[k % 2];
    // Waited for in slices: a stop must be noticed while the caller works.
    while (::WaitForSingleObject(slot.free.Get(), kWaitSliceMs) == WAIT_TIMEOUT) {
      if (!IsRunning()) return;
    }
    if (!IsRunning()) return;
    slot.ok = ReadBlock(file_, slot.buffer.Data(), size_, slot.read);
    slot.error = slot.ok ? 0 : ::GetLastError();
    ::SetEvent(slot.filled.Get());
    if (!slot.ok) return;
  }
}
