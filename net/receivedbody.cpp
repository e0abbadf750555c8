#include "net/receivedbody.h"

#include <algorithm>
#include <utility>

namespace {

// The growth of a body of unknown size (the CRC info, kept for the whole
// run) or longer than announced: small, so it holds no more than it needs.
constexpr size_t kGrowthSize = 0x80000;
// Room left after the expected size for the read that finds the end.
constexpr size_t kEndReadRoom = 0x1000;
// A body of unknown size (the CRC info, a few kilobytes) is cut here: memory
// never grows with what a host sends.
constexpr size_t kLongestUnknownBody = 16 << 20;
// No block larger than a part and then some is kept: a host that sent more
// than it announced must not leave its excess behind.
constexpr size_t kMaxSpareBlock = 16 << 20;

// The block of the last body, kept for the next one. Workers fetch their
// parts one after another, and under Wine every fresh 10 MB block costs its
// mapping and a page fault per page: a fifth of a worker's system time.
// One block at most, so the peak stays at one part.
class SpareBlock {
 public:
  ByteBuffer Take() {
    ScopedLock lock(lock_);
    return std::exchange(block_, ByteBuffer());
  }
  void Give(ByteBuffer block) {
    block.Truncate(0);
    if (block.Capacity() > kMaxSpareBlock) return;
    ScopedLock lock(lock_);
    if (block.Capacity() > block_.Capacity()) block_ = std::move(block);
  }

 private:
  CriticalSection lock_;
  ByteBuffer block_;
};

SpareBlock& Spare() {
  static SpareBlock spare;
  return spare;
}

}  // namespace

ReceivedBody::ReceivedBody(size_t expected_size) {
  // A body of unknown size (the CRC info) is small, and is kept.
  if (expected_size == 0) {
    limit_ = kLongestUnknownBody + 1;
    return;
  }
  limit_ = expected_size + 1;
  bytes_ = Spare().Take();
  bytes_.Reserve(expected_size + kEndReadRoom);
}

ReceivedBody::~ReceivedBody() { Spare().Give(std::move(bytes_)); }

uint8_t* ReceivedBody::Space(size_t wanted, size_t& count) {
  const size_t spare = bytes_.Capacity() - committed_;
  // Within the reserved block while it lasts; a body longer than announced
  // grows it.
  count = spare != 0 ? std::min(spare, wanted) : std::min(wanted, kGrowthSize);
  count = std::min(count, limit_ - committed_);
  return bytes_.Extend(count);
}

void ReceivedBody::Commit(size_t count) {
  const uint8_t* first = bytes_.Data() + committed_;
  committed_ += count;
  bytes_.Truncate(committed_);
  if (count == 0) return;
  // Only this thread writes the progress: it may read it unlocked.
  const uint32_t crc = crc_table_.Continue(progress_.crc, first, count);
  {
    ScopedLock lock(lock_);
    progress_.crc = crc;
    progress_.size = committed_;
  }
  ::SetEvent(progress_event_.Get());
}

ReceivedBody::Progress ReceivedBody::Snapshot() const {
  ScopedLock lock(lock_);
  return progress_;
}
