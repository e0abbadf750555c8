#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>

// Milliseconds from an arbitrary origin, steady. Whatever decides by the
// time takes one of these, so that tests can hand in their own times.
using Clock = std::function<uint64_t()>;

// The 64-bit tick count: the 32-bit one wraps after 49.7 days.
inline Clock SystemClock() {
  return [] { return static_cast<uint64_t>(::GetTickCount64()); };
}
