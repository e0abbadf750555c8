#pragma once

#include <windows.h>

// A re-entrant lock (a Windows critical section) that lives as long as its
// owner. Taken only through ScopedLock, so no return path leaves it held.
class CriticalSection {
 public:
  CriticalSection() { ::InitializeCriticalSection(&section_); }
  ~CriticalSection() { ::DeleteCriticalSection(&section_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
  friend class ScopedLock;
  CRITICAL_SECTION section_;
};

class ScopedLock {
 public:
  explicit ScopedLock(CriticalSection& lock) : lock_(lock) {
    ::EnterCriticalSection(&lock_.section_);
  }
  ~ScopedLock() { ::LeaveCriticalSection(&lock_.section_); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  CriticalSection& lock_;
};
