#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// An owned block of bytes and its size. Appending may keep spare capacity
// (reserve the expected size up front to avoid moving the block on every
// append); Reset frees the block.
class ByteBuffer {
 public:
  void Append(const void* bytes, size_t count) {
    const auto* first = static_cast<const uint8_t*>(bytes);
    bytes_.insert(bytes_.end(), first, first + count);
  }
  void Assign(const void* bytes, size_t count) {
    bytes_.clear();
    Append(bytes, count);
  }
  void Reserve(size_t count) { bytes_.reserve(count); }
  // Room for `count` more bytes, written in place: the size grows by count
  // and Truncate takes back what was not filled.
  uint8_t* Extend(size_t count) {
    const size_t size = bytes_.size();
    bytes_.resize(size + count);
    return bytes_.data() + size;
  }
  void Truncate(size_t size) {
    if (size < bytes_.size()) bytes_.resize(size);
  }
  size_t Capacity() const { return bytes_.capacity(); }
  void Reset() { std::vector<uint8_t>().swap(bytes_); }

  const uint8_t* Data() const { return bytes_.data(); }
  uint8_t* Data() { return bytes_.data(); }
  size_t Size() const { return bytes_.size(); }
  bool Empty() const { return bytes_.empty(); }

 private:
  std::vector<uint8_t> bytes_;
};
