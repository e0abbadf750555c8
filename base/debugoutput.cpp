#include "base/debugoutput.h"

#include <windows.h>

#include <atomic>

namespace {
std::atomic<DebugOutput::NarrowObserver> narrow_observer{nullptr};
std::atomic<DebugOutput::WideObserver> wide_observer{nullptr};
}  // namespace

void DebugOutput::Write(const std::string& text) {
  ::OutputDebugStringA(text.c_str());
  if (auto observer = narrow_observer.load(std::memory_order_relaxed)) observer(text);
}

void DebugOutput::Write(const std::wstring& text) {
  ::OutputDebugStringW(text.c_str());
  if (auto observer = wide_observer.load(std::memory_order_relaxed)) observer(text);
}

void DebugOutput::SetObservers(NarrowObserver narrow, WideObserver wide) {
  narrow_observer.store(narrow, std::memory_order_relaxed);
  wide_observer.store(wide, std::memory_order_relaxed);
}
