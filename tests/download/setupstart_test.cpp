// The end of a verified run: the download folder goes and the shell gets
// the setup; a refusal is told and the program folder opened.
#include "download/setupstart.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"
#include "base/errorcodes.h"
#include "tests/support/managertest.h"
#include "tests/support/tempdir.h"

namespace {

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class SetupStartTest : public ::testing::Test {
 protected:
  SetupStartTest() : start(layout, watcher) {
    program = dir.Path() + L"\\program";
    download = dir.Path() + L"/download";
    ::CreateDirectoryW(program.c_str(), nullptr);
    ::CreateDirectoryW(download.c_str(), nullptr);
    layout.Configure(L"", L"R.txt", download, program);
    Error::ClearErrors();
  }

  SetupStart::Outcome Launch(const std::wstring& setup) {
    return start.Launch(shell, setup, [this](const std::wstring& text) { errors.push_back(text); });
  }

  TempDir dir;
  std::wstring program;
  std::wstring download;
  ReleaseLayout layout;
  FileSystemWatcher watcher;
  RecordingShell shell;
  std::vector<std::wstring> errors;
  SetupStart start;
};

}  // namespace

TEST_F(SetupStartTest, LaunchWithoutSetupShowsTheMissingSetup) {
  EXPECT_EQ(SetupStart::Outcome::kMissing, Launch(L""));
  EXPECT_EQ(std::vector<std::wstring>{L"Failed to run setup. Setup executable is missing."},
            errors);
  EXPECT_EQ(1, CountLogNumber(DL_MANAGER_EXECUTABLE_MISSING));
  EXPECT_TRUE(Exists(download));
  EXPECT_TRUE(shell.Calls().empty());
}

TEST_F(SetupStartTest, LaunchRemovesTheDownloadFolderAndStartsTheSetup) {
  ASSERT_TRUE(WriteFileBytes(download + L"/leftover", "x"));
  Error::RecordError("an earlier error", 5, "test", 1);
  const std::wstring setup = program + L"/Setup_P1.exe";
  EXPECT_EQ(SetupStart::Outcome::kStarted, Launch(setup));
  EXPECT_FALSE(Exists(download));
  EXPECT_EQ(std::vector<std::wstring>{L"open " + setup + L" in " + program}, shell.Calls());
  EXPECT_EQ(1, CountLogNumber(DL_MANAGER_ERRORS_RESOLVED));
  EXPECT_TRUE(errors.empty());
}

TEST_F(SetupStartTest, RefusedSetupShowsTheTextAndOpensExplorer) {
  shell.result = SE_ERR_FNF;
  const std::wstring setup = program + L"/Setup_P1.exe";
  EXPECT_EQ(SetupStart::Outcome::kRefused, Launch(setup));
  ASSERT_EQ(1u, errors.size());
  const std::wstring start_text =
      L"Unable to start setup. You can start it manually by executing "
      L"the file " +
      setup + L" in folder " + program + L". The error message is:  Error code: 0x2";
  EXPECT_EQ(start_text, errors[0].substr(0, start_text.size()));
  EXPECT_EQ(
      (std::vector<std::wstring>{L"open " + setup + L" in " + program, L"explore " + program}),
      shell.Calls());
  EXPECT_EQ(1, CountLogRecords("Unable to start setup."));
}

// Once through the real shell: a small program stands in for the setup and
// writes down the folder it was started in. The folder's name is outside
// the ANSI code page.
TEST(LaunchSetupIntegration, RealShellStartsTheSetupInTheProgramFolder) {
  TempDir dir;
  const std::wstring program = dir.Path() + L"\\\u0141ukasz \u4e2d";
  const std::wstring download = dir.Path() + L"/dl";
  ASSERT_TRUE(::CreateDirectoryW(program.c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW(download.c_str(), nullptr));
  const std::wstring setup = program + L"\\Setup_P1.exe";
  ASSERT_TRUE(::CopyFileW(HelperPath().c_str(), setup.c_str(), FALSE));
  ReleaseLayout layout;
  layout.Configure(L"", L"R.txt", download, program);
  FileSystemWatcher watcher;
  std::vector<std::wstring> errors;
  SetupStart start(layout, watcher);
  EXPECT_EQ(SetupStart::Outcome::kStarted,
            start.Launch(SystemShell::Instance(), setup,
                         [&](const std::wstring& text) { errors.push_back(text); }));
  EXPECT_TRUE(errors.empty());
  std::string ran;
  for (int i = 0; i < 200 && ran.empty(); ++i) {
    ::Sleep(50);
    ran = ReadFileBytes(program + L"\\ran.txt");
  }
  const std::wstring folder(reinterpret_cast<const wchar_t*>(ran.data()),
                            ran.size() / sizeof(wchar_t));
  EXPECT_EQ(program, folder);
  EXPECT_FALSE(Exists(download));
}
