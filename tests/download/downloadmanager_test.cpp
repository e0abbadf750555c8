#include "download/downloadmanager.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <gtest/gtest.h>

#include <string>

#include "base/crc.h"
#include "base/error.h"
#include "base/errorcodes.h"
#include "base/stringutils.h"
#include "tests/support/managertest.h"
#include "tests/support/tempdir.h"
#include "tests/support/testdata.h"
#include "tests/support/testhost.h"

namespace {

std::wstring Crc(const std::string& bytes) {
  return std::to_wstring(static_cast<int32_t>(CRC().Compute(bytes.data(), bytes.size())));
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A manager whose folders are fresh temp folders; nothing is started.
class ManagerTest : public ::testing::Test {
 protected:
  ManagerTest() : manager(&listener) {
    program = dir.Path() + L"\\program";
    download = dir.Path() + L"/download";
    ::CreateDirectoryW(program.c_str(), nullptr);
    ::CreateDirectoryW(download.c_str(), nullptr);
    manager.SetRelease({L"127.0.0.1", L"Sub", L"P1", L"?sig=secret"});
    manager.SetShell(&shell);
    manager.Configure(L"default", L"", L"Veltra_R1.txt", download, program);
    Error::ClearErrors();
  }

  TempDir dir;
  std::wstring program;
  std::wstring download;
  RecordingListener listener;
  RecordingShell shell;
  DownloadManager manager;
};

}  // namespace

TEST_F(ManagerTest, NamesOfARecord) {
  const FileRecord record{L"Setup.exe", L"25000000", L"1", L"2", L"3"};
  std::wstring local;
  ASSERT_TRUE(manager.LocalName(record, local));
  EXPECT_EQ(L"Setup_P1.exe", local);
  EXPECT_EQ(download + L"/Setup_P1.exepart2", manager.PartPath(local, 2));
  EXPECT_EQ(program + L"/Setup_P1.exe", manager.FinalPath(local));
  EXPECT_EQ(L"/Sub/1_Setup.exe", manager.PartObjectPath(record, 1));
  // The last part carries its real size, so the counters never pass the total.
  EXPECT_EQ(10000000u, manager.PartBytes(record, 0));
  EXPECT_EQ(10000000u, manager.PartBytes(record, 1));
  EXPECT_EQ(5000000u, manager.PartBytes(record, 2));
  const FileRecord exact{L"data-1.bin", L"20000000", L"1", L"2"};
  EXPECT_EQ(10000000u, manager.PartBytes(exact, 1));

  EXPECT_FALSE(manager.LocalName({L"..\\evil.exe", L"1"}, local));
  EXPECT_EQ(1, CountLogRecords("DownloadManager: no usable local name for file ..\\evil.exe"));
}

TEST_F(ManagerTest, CrcCheckOfAPartFile) {
  const std::string bytes = Pattern(1000, 1);
  const std::wstring path = download + L"/x.binpart0";
  ASSERT_TRUE(WriteFileBytes(path, bytes));
  const int32_t crc = static_cast<int32_t>(CRC().Compute(bytes.data(), bytes.size()));
  EXPECT_TRUE(manager.CRCCheckFile(path, crc));
  EXPECT_FALSE(manager.CRCCheckFile(path, crc + 1));
  EXPECT_EQ(0u, Error::GetErrorListJson().size());
  EXPECT_FALSE(manager.CRCCheckFile(download + L"/missing", crc));
  EXPECT_EQ(1, CountLogRecords("DownloadManager::CRCCheckFile unable to open file "));
}

TEST_F(ManagerTest, OneBlockBufferServesChecksOfEverySize) {
  // The manager keeps its block between checks: a part larger than any
  // before must enlarge it, and a smaller one after it must see only its own
  // bytes, not what a larger one left behind.
  const std::string large = Pattern(12000000, 4);
  const std::string small = Pattern(3000, 5);
  const auto Crc32 = [](const std::string& bytes) {
    return static_cast<int32_t>(CRC().Compute(bytes.data(), bytes.size()));
  };
  ASSERT_TRUE(WriteFileBytes(download + L"/x.binpart0", small));
  ASSERT_TRUE(WriteFileBytes(download + L"/x.binpart1", large));
  EXPECT_TRUE(manager.CRCCheckFile(download + L"/x.binpart0", Crc32(small)));
  EXPECT_TRUE(manager.CRCCheckFile(download + L"/x.binpart1", Crc32(large)));
  EXPECT_TRUE(manager.CRCCheckFile(download + L"/x.binpart0", Crc32(small)));

  const FileRecord record{L"data-1a.bin", L"13000", Crc(large.substr(0, 13000))};
  ASSERT_TRUE(WriteFileBytes(program + L"/data_P1-1a.bin", large.substr(0, 13000)));
  EXPECT_TRUE(manager.CheckFileFromCRCInfo(record));
  EXPECT_TRUE(manager.CRCCheckFile(download + L"/x.binpart0", Crc32(small)));
  EXPECT_EQ(0u, Error::GetErrorListJson().size());
}

TEST_F(ManagerTest, VerificationReadsBlockByBlock) {
  const std::string bytes = Pattern(25000000, 2);
  const FileRecord record{L"data-1a.bin", L"25000000", Crc(bytes.substr(0, 10000000)),
                          Crc(bytes.substr(10000000, 10000000)), Crc(bytes.substr(20000000))};
  const std::wstring final_path = program + L"/data_P1-1a.bin";

  ASSERT_TRUE(WriteFileBytes(final_path, bytes));
  EXPECT_TRUE(manager.CheckFileFromCRCInfo(record));
  EXPECT_EQ(25000000u, manager.BytesVerified());

  // A file whose blocks all match but that is longer or shorter than its
  // record fails, is deleted, and bytes_done never drops below 0.
  for (const std::string& wrong : {bytes + "tail", bytes.substr(0, 24000000)}) {
    Error::ClearErrors();
    ASSERT_TRUE(WriteFileBytes(final_path, wrong));
    EXPECT_FALSE(manager.CheckFileFromCRCInfo(record));
    EXPECT_FALSE(Exists(final_path));
    EXPECT_EQ(1, CountLogRecords("CheckFileFromCRCInfo size is not correct: "));
    EXPECT_EQ(-3, Error::GetErrorListJson()[0]["error_number"]);
    EXPECT_EQ(0u, manager.BytesDone());
  }

  // Missing: false without a report.
  Error::ClearErrors();
  EXPECT_FALSE(manager.CheckFileFromCRCInfo(record));
  EXPECT_EQ(0u, Error::GetErrorListJson().size());
}

TEST_F(ManagerTest, RecordWithoutPartsOnlyNeedsItsFile) {
  const FileRecord record{L"readme-1a.bin", L"12"};
  EXPECT_FALSE(manager.CheckFileFromCRCInfo(record));
  ASSERT_TRUE(WriteFileBytes(program + L"/readme_P1-1a.bin", "anything"));
  EXPECT_TRUE(manager.CheckFileFromCRCInfo(record));
}

TEST_F(ManagerTest, TotalsNeverCountMoreThanTheRecordSays) {
  ASSERT_TRUE(WriteFileBytes(program + L"/data_P1-1a.bin", std::string(300, 'x')));
  manager.ComputeTotals({{L"data-1a.bin", L"100", L"1"}, {L"Setup.exe", L"0x10", L"1"}});
  EXPECT_EQ(116u, manager.TotalBytes());
  EXPECT_EQ(100u, manager.BytesDone());
}

class MergeTest : public ManagerTest {
 protected:
  MergeTest() {
    bytes = Pattern(25000000, 3);
    record = {L"Setup.exe", L"25000000"};
    for (size_t k = 0; k < 3; ++k) {
      const std::string part = bytes.substr(k * 10000000, 10000000);
      record.push_back(Crc(part));
      WriteFileBytes(Part(k), part);
    }
  }
  std::wstring Part(size_t k) { return download + L"/Setup_P1.exepart" + std::to_wstring(k); }
  std::wstring Final() { return program + L"/Setup_P1.exe"; }

  std::string bytes;
  FileRecord record;
};

TEST_F(MergeTest, PartsBecomeTheFinalFile) {
  manager.MergeParts(record);
  EXPECT_TRUE(ReadFileBytes(Final()) == bytes);
  for (size_t k = 0; k < 3; ++k) EXPECT_FALSE(Exists(Part(k)));
  EXPECT_EQ(66u, manager.MergePercent());
  EXPECT_FALSE(manager.IsMerging());
  EXPECT_EQ(0u, Error::GetErrorListJson().size());
}

// A merge that cannot finish costs no part: a missing part is found before
// anything is written, a part changed on disk half-way through.
TEST_F(MergeTest, MergeThatCannotFinishKeepsEveryPart) {
  ASSERT_TRUE(::DeleteFileW(Part(1).c_str()));
  manager.MergeParts(record);
  EXPECT_FALSE(Exists(Final()));
  EXPECT_TRUE(Exists(Part(0)));
  EXPECT_TRUE(Exists(Part(2)));
  const auto log = Error::GetErrorListJson();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ("Merging part files failed. Unable to open: " + StringUtils::ToNarrow(Part(1)),
            log[0]["message"]);
  EXPECT_EQ("", log[0]["file"]);

  ASSERT_TRUE(WriteFileBytes(Part(1), "changed on disk"));
  manager.MergeParts(record);
  EXPECT_EQ(1, CountLogRecords("Merging part files failed. Wrong size of: "));
  ASSERT_TRUE(WriteFileBytes(Part(1), std::string(10000000, 'x')));
  manager.MergeParts(record);
  EXPECT_FALSE(Exists(Final()));
  for (size_t k = 0; k < 3; ++k) EXPECT_TRUE(Exists(Part(k)));
  EXPECT_EQ(1,
            CountLogRecords("CRC Check of file : " + StringUtils::ToNarrow(Final()) + " failed!"));
  EXPECT_FALSE(manager.IsMerging());
}

TEST_F(MergeTest, UnwritableFinalFileKeepsEveryPart) {
  // A folder in the final file's place cannot be replaced by a file.
  ASSERT_TRUE(::CreateDirectoryW(Final().c_str(), nullptr));
  manager.MergeParts(record);
  for (size_t k = 0; k < 3; ++k) EXPECT_TRUE(Exists(Part(k)));
  EXPECT_EQ(1, CountLogRecords("Merging part files failed. Unable to create: "));
  EXPECT_FALSE(manager.IsMerging());
}

TEST_F(ManagerTest, LaunchWithoutSetupShowsTheMissingSetup) {
  manager.LaunchSetup(L"");
  EXPECT_EQ(std::vector<std::wstring>{L"Failed to run setup. Setup executable is missing."},
            listener.Errors());
  EXPECT_EQ(1, CountLogNumber(DL_MANAGER_EXECUTABLE_MISSING));
  EXPECT_EQ(0, listener.finished.load());
  EXPECT_TRUE(Exists(download));
  EXPECT_TRUE(shell.Calls().empty());
}

TEST_F(ManagerTest, LaunchRemovesTheDownloadFolderAndStartsTheSetup) {
  ASSERT_TRUE(WriteFileBytes(download + L"/leftover", "x"));
  Error::RecordError("an earlier error", 5, "test", 1);
  const std::wstring setup = program + L"/Setup_P1.exe";
  manager.LaunchSetup(setup);
  EXPECT_FALSE(Exists(download));
  EXPECT_EQ(std::vector<std::wstring>{L"open " + setup + L" in " + program}, shell.Calls());
  EXPECT_EQ(1, CountLogNumber(DL_MANAGER_ERRORS_RESOLVED));
  EXPECT_EQ(1, listener.finished.load());
  EXPECT_TRUE(listener.Errors().empty());
}

TEST_F(ManagerTest, RefusedSetupShowsTheTextAndOpensExplorer) {
  shell.result = SE_ERR_FNF;
  const std::wstring setup = program + L"/Setup_P1.exe";
  manager.LaunchSetup(setup);
  const auto errors = listener.Errors();
  ASSERT_EQ(1u, errors.size());
  const std::wstring start =
      L"Unable to start setup. You can start it manually by executing "
      L"the file " +
      setup + L" in folder " + program + L". The error message is:  Error code: 0x2";
  EXPECT_EQ(start, errors[0].substr(0, start.size()));
  EXPECT_EQ(
      (std::vector<std::wstring>{L"open " + setup + L" in " + program, L"explore " + program}),
      shell.Calls());
  EXPECT_EQ(1, listener.finished.load());
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
  RecordingListener listener;
  DownloadManager manager(&listener);
  manager.Configure(L"", L"", L"R.txt", download, program);
  manager.LaunchSetup(setup);
  EXPECT_EQ(1, listener.finished.load());
  EXPECT_TRUE(listener.Errors().empty());
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

// Nothing listens on the host: every fetch of the CRC info fails, every
// attempt fails its verification, and the run gives up after the eighth.
TEST(UnreachableHostIntegration, RunGivesUpAfterEightAttempts) {
  TempDir dir;
  RecordingListener listener;
  RecordingShell shell;
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
  RecordingListener listener;
  RecordingShell shell;
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
