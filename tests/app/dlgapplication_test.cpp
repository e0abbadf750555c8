#include "app/dlgapplication.h"

#include <windows.h>

#include <objbase.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

// "<release> download manager", the release taken from this program's name.
std::wstring ExpectedCaption() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name(path);
  name = name.substr(name.rfind(L'\\') + 1);
  name.resize(name.size() - 4);
  name.resize(name.rfind(L'_'));
  return name + L" download manager";
}

}  // namespace

// Someone else (a host process, a shell extension) set up COM security
// before the entry: its own attempt answers RPC_E_TOO_LATE, and the program
// must start all the same.
TEST(DlgApplicationIntegration, StartsWhenComSecurityIsAlreadySetUp) {
  std::atomic<HRESULT> earlier{E_FAIL};
  std::atomic<int> result{-2};
  std::atomic<bool> ended{false};
  std::thread entry([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    earlier = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                   RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    result = DlgApplicationMain(GetModuleHandleW(nullptr));
    CoUninitialize();
    ended = true;
  });

  const std::wstring caption = ExpectedCaption();
  HWND window = nullptr;
  bool shown = false;
  for (int i = 0; i < 1000 && !ended; ++i) {
    if (HWND box = FindWindowW(L"#32770", L"Error")) PostMessageW(box, WM_COMMAND, IDOK, 0);
    window = FindWindowW(nullptr, caption.c_str());
    if (window && IsWindowVisible(window)) {
      shown = true;
      PostMessageW(window, WM_CLOSE, 0, 0);
      break;
    }
    Sleep(20);
  }
  for (int i = 0; i < 1500 && !ended; ++i) {
    if (HWND box = FindWindowW(L"#32770", L"Error")) PostMessageW(box, WM_COMMAND, IDOK, 0);
    Sleep(20);
  }
  ASSERT_TRUE(ended) << "the entry did not return after the close";
  entry.join();
  EXPECT_TRUE(earlier == S_OK || earlier == RPC_E_TOO_LATE);
  EXPECT_TRUE(shown) << "no visible window captioned " << std::string(caption.begin(), caption.end());
  EXPECT_EQ(0, result.load());
}
