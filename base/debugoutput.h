#pragma once

#include <string>

// The debugger channel (OutputDebugString). Tests may observe what is
// written; the program itself never sets an observer.
class DebugOutput {
 public:
  using NarrowObserver = void (*)(const std::string& text);
  using WideObserver = void (*)(const std::wstring& text);

  static void Write(const std::string& text);
  static void Write(const std::wstring& text);
  static void SetObservers(NarrowObserver narrow, WideObserver wide);
};
