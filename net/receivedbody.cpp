#include "net/receivedbody.h"

#include <algorithm>
#include <utility>

ReceivedBody::ReceivedBody(std::shared_ptr<BodySink> sink) : sink_(std::move(sink)) {}

uint8_t* ReceivedBody::Space(size_t wanted, size_t& count) {
  // Only this thread writes the progress: it may read it unlocked.
  const uint64_t room = sink_->Capacity() - std::min(sink_->Capacity(), progress_.size);
  count = static_cast<size_t>(std::min<uint64_t>(wanted, room));
  if (buffer_.Size() < count) {
    buffer_.Reset();
    buffer_.Extend(count);
  }
  return buffer_.Data();
}

bool ReceivedBody::Commit(size_t count) {
  if (count == 0) return true;
  if (!sink_->Write(buffer_.Data(), count)) return false;
  const uint32_t crc = crc_table_.Continue(progress_.crc, buffer_.Data(), count);
  {
    ScopedLock lock(lock_);
    progress_.crc = crc;
    if (progress_.size < kHeadSize) {
      head_.Append(buffer_.Data(),
                   std::min<size_t>(count, kHeadSize - static_cast<size_t>(progress_.size)));
    }
    progress_.size += count;
  }
  ::SetEvent(progress_event_.Get());
  return true;
}

ReceivedBody::Progress ReceivedBody::Snapshot() const {
  ScopedLock lock(lock_);
  return progress_;
}

ByteBuffer ReceivedBody::Head() const {
  ScopedLock lock(lock_);
  ByteBuffer copy;
  copy.Append(head_.Data(), head_.Size());
  return copy;
}
