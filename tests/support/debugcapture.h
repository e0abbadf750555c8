#pragma once

#include <string>
#include <vector>

// Collects what the program writes to the debugger channel while it lives.
class DebugCapture {
 public:
  DebugCapture();
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  std::vector<std::string> Narrow() const;
  std::vector<std::wstring> Wide() const;
};
