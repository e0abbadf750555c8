#pragma once

#include <windows.h>

#include <utility>

// Owns one Windows resource and releases it exactly once. Movable, not
// copyable; an empty owner releases nothing. Traits give the empty value,
// the validity test and the release call.
template <typename Traits>
class ScopedHandle {
 public:
  using Type = typename Traits::Type;

  ScopedHandle() = default;
  explicit ScopedHandle(Type value) : value_(value) {}
  ~ScopedHandle() { Reset(); }

  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  ScopedHandle(ScopedHandle&& other) noexcept : value_(other.Release()) {}
  ScopedHandle& operator=(ScopedHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  Type Get() const { return value_; }
  bool IsValid() const { return Traits::IsValid(value_); }
  explicit operator bool() const { return IsValid(); }

  // Gives up ownership without releasing.
  Type Release() { return std::exchange(value_, Traits::Empty()); }

  void Reset(Type value = Traits::Empty()) {
    Type old = std::exchange(value_, value);
    if (Traits::IsValid(old)) Traits::Close(old);
  }

 private:
  Type value_ = Traits::Empty();
};

// Kernel objects: threads, events, files. Both NULL and INVALID_HANDLE_VALUE
// mean "none", since CreateFile and CreateThread disagree on which they use.
struct KernelHandleTraits {
  using Type = HANDLE;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::CloseHandle(h); }
};
using UniqueHandle = ScopedHandle<KernelHandleTraits>;

struct FindHandleTraits {
  using Type = HANDLE;
  static Type Empty() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Type h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::FindClose(h); }
};
using UniqueFindHandle = ScopedHandle<FindHandleTraits>;

// Blocks that the system allocates with LocalAlloc for us (FormatMessage).
struct LocalMemoryTraits {
  using Type = HLOCAL;
  static Type Empty() { return nullptr; }
  static bool IsValid(Type h) { return h != nullptr; }
  static void Close(Type h) { ::LocalFree(h); }
};
using UniqueLocalMemory = ScopedHandle<LocalMemoryTraits>;
