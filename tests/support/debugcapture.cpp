#include "tests/support/debugcapture.h"

#include <mutex>

#include "base/debugoutput.h"

namespace {

std::mutex lines_lock;
std::vector<std::string> narrow_lines;
std::vector<std::wstring> wide_lines;

void OnNarrow(const std::string& text) {
  std::lock_guard<std::mutex> lock(lines_lock);
  narrow_lines.push_back(text);
}

void OnWide(const std::wstring& text) {
  std::lock_guard<std::mutex> lock(lines_lock);
  wide_lines.push_back(text);
}

}  // namespace

DebugCapture::DebugCapture() {
  {
    std::lock_guard<std::mutex> lock(lines_lock);
    narrow_lines.clear();
    wide_lines.clear();
  }
  DebugOutput::SetObservers(OnNarrow, OnWide);
}

DebugCapture::~DebugCapture() { DebugOutput::SetObservers(nullptr, nullptr); }

std::vector<std::string> DebugCapture::Narrow() const {
  std::lock_guard<std::mutex> lock(lines_lock);
  return narrow_lines;
}

std::vector<std::wstring> DebugCapture::Wide() const {
  std::lock_guard<std::mutex> lock(lines_lock);
  return wide_lines;
}
