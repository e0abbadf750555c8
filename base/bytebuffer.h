#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

// Leaves the bytes a vector grows by unset instead of zeroing them: room
// that a read fills next would otherwise be written twice, 10 MB per part,
// and room never filled would be made resident for nothing.
template <typename T>
class UninitialisedAllocator : public std::allocator<T> {
 public:
  template <typename U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <typename U>
  explicit UninitialisedAllocator(const UninitialisedAllocator<U>&) {}

  template <typename U>
  void construct(U* place) {
    ::new (static_cast<void*>(place)) U;
  }
  template <typename U, typename... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
};

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
  // Room for `count` more bytes, left unset and written in place: the size
  // grows by count and Truncate takes back what was not filled.
  uint8_t* Extend(size_t count) {
    const size_t size = bytes_.size();
    bytes_.resize(size + count);
    return bytes_.data() + size;
  }
  void Truncate(size_t size) {
    if (size < bytes_.size()) bytes_.resize(size);
  }
  size_t Capacity() const { return bytes_.capacity(); }
  void Reset() { Bytes().swap(bytes_); }

  const uint8_t* Data() const { return bytes_.data(); }
  uint8_t* Data() { return bytes_.data(); }
  size_t Size() const { return bytes_.size(); }
  bool Empty() const { return bytes_.empty(); }

 private:
  using Bytes = std::vector<uint8_t, UninitialisedAllocator<uint8_t>>;
  Bytes bytes_;
};
