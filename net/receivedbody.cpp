#include "net/receivedbody.h"

#include <utility>

ReceivedBody::ReceivedBody(std::shared_ptr<BodySink> sink) : sink_(std::move(sink)) {}

uint8_t* ReceivedBody::Space(size_t wanted) {
  if (buffer_.Size() < wanted) {
    buffer_.Reset();
    buffer_.Extend(wanted);
  }
  return buffer_.Data();
}

bool ReceivedBody::Commit(size_t count) {
  if (count == 0) return true;
  if (!sink_->Write(buffer_.Data(), count)) return false;
  // Only this thread writes the progress: it may read it unlocked.
  const uint32_t crc = crc_table_.Continue(progress_.crc, buffer_.Data(), count);
  {
    ScopedLock lock(lock_);
    progress_.crc = crc;
    progress_.size += count;
  }
  ::SetEvent(progress_event_.Get());
  return true;
}

ReceivedBody::Progress ReceivedBody::Snapshot() const {
  ScopedLock lock(lock_);
  return progress_;
}
