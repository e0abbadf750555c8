#include "download/downloadmanager.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/managertest.h"
#include "tests/support/tempdir.h"
#include "tests/support/testhost.h"

// Nothing listens on the host: every fetch of the CRC info fails, every
// attempt fails its verification, and the run gives up after the eighth.
TEST(UnreachableHostIntegration, RunGivesUpAfterEightAttempts) {
  TempDir dir;
  RecordingShell shell;
  RecordingListener listener{shell};
  DownloadManager manager(&listener);
  // The test network's name for an address where nothing listens, if set.
  const std::wstring refused = TestHost().RefusedHostName();
  manager.SetRelease({refused.empty() ? L"127.0.0.1" : refused, L"sub", L"P1", L""});
  manager.SetSupportCenterUrl(L"https://support.invalid/help");
  manager.SetShell(&shell);
  manager.StartDownload(L"", L"", L"R_1.txt", dir.Path() + L"/dl", dir.Path());
  for (int i = 0; i < 1200 && manager.IsRunning(); ++i) ::Sleep(100);
  ASSERT_FALSE(manager.IsRunning());
  ExpectGaveUp(listener, shell, L"https://support.invalid/help");
}

TEST(DownloadRun, StopDuringTheCrcInfoFetchIsQuick) {
  TempDir dir;
  RecordingShell shell;
  RecordingListener listener{shell};
  DownloadManager manager(&listener);
  manager.SetRelease({L"127.0.0.1", L"sub", L"P1", L""});
  manager.SetShell(&shell);
  manager.StartDownload(L"", L"", L"R_1.txt", dir.Path() + L"/dl", dir.Path());
  ::Sleep(300);
  const DWORD start = ::GetTickCount();
  manager.StopDownload();
  EXPECT_LT(::GetTickCount() - start, 2000u);
  EXPECT_FALSE(manager.IsRunning());
  EXPECT_TRUE(shell.Calls().empty());
  EXPECT_EQ(0, listener.finished.load());
}
