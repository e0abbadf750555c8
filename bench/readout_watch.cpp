// Watches the program's progress read-out from outside, as a user reads it:
//   readout_watch CAPTION SECONDS
// waits up to SECONDS for the window with that caption, then prints one line
// whenever the label or value column changes, until the window is gone:
//   <the label column's first line> | <the value column, lines joined by |>
// Each line is flushed at once, so that the caller can time it on arrival.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/resource.h"

namespace {

// The control's text through WM_GETTEXT, with a timeout so that a busy
// window does not hold the watch; line breaks become " | ".
std::string ControlText(HWND window, int id) {
  HWND control = ::GetDlgItem(window, id);
  if (control == nullptr) return std::string();
  std::vector<char> text(1024, '\0');
  DWORD_PTR copied = 0;
  if (!::SendMessageTimeoutA(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                             SMTO_ABORTIFHUNG, 1000, &copied)) {
    return std::string();
  }
  std::string line;
  for (const char* c = text.data(); *c != '\0'; ++c) {
    if (*c == '\r') continue;
    if (*c == '\n') {
      line += " | ";
    } else {
      line += *c;
    }
  }
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: readout_watch CAPTION SECONDS\n");
    return 2;
  }
  const ULONGLONG deadline = ::GetTickCount64() + std::strtoull(argv[2], nullptr, 10) * 1000;
  HWND window = nullptr;
  while (window == nullptr) {
    if (::GetTickCount64() > deadline) return 3;
    window = ::FindWindowA(nullptr, argv[1]);
    if (window == nullptr) ::Sleep(50);
  }
  std::string last;
  while (::IsWindow(window)) {
    std::string labels = ControlText(window, IDC_LABELS);
    labels = labels.substr(0, labels.find(" | "));
    const std::string line = labels + " | " + ControlText(window, IDC_VALUES);
    if (line != last) {
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
      last = line;
    }
    ::Sleep(100);
  }
  return 0;
}
