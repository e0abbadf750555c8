#include "app/singlerun.h"

namespace {

constexpr DWORD kLookEveryMs = 100;
// The class of every dialog window.
constexpr wchar_t kDialogClass[] = L"#32770";

bool Acquired(DWORD wait) { return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED; }

void BringToFront(HWND window) {
  if (::IsIconic(window)) ::ShowWindow(window, SW_RESTORE);
  // An error box the first run shows is what the user must answer.
  ::SetForegroundWindow(::GetLastActivePopup(window));
}

}  // namespace

SingleRun::~SingleRun() {
  if (owned) ::ReleaseMutex(mutex.Get());
}

std::wstring SingleRun::MutexName(const std::wstring& release_name) {
  // Local\ is the namespace of the user's session.
  return L"Local\\Veltra download manager " + release_name;
}

bool SingleRun::Take(const std::wstring& release_name, const std::wstring& window_caption,
                     const Clock& clock) {
  mutex.Reset(::CreateMutexW(nullptr, FALSE, MutexName(release_name).c_str()));
  // Without the mutex nothing can be told about other runs; running is
  // what the user asked for.
  if (!mutex) return true;
  const uint64_t deadline = clock() + kWaitForFirstMs;
  DWORD wait = ::WaitForSingleObject(mutex.Get(), 0);
  while (!Acquired(wait)) {
    HWND first = ::FindWindowW(kDialogClass, window_caption.c_str());
    if (first != nullptr && ::IsWindowVisible(first)) {
      BringToFront(first);
      return false;
    }
    if (clock() >= deadline) return false;
    wait = ::WaitForSingleObject(mutex.Get(), kLookEveryMs);
  }
  owned = true;
  return true;
}
