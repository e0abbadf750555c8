#include "download/filesystemwatcher.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "base/error.h"
#include "base/errorcodes.h"
#include "tests/support/managertest.h"
#include "tests/support/tempdir.h"

namespace {

// Builds a buffer of change records the way the system lays it out.
std::vector<DWORD> Records(const std::vector<std::pair<DWORD, std::wstring>>& changes) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < changes.size(); ++i) {
    const size_t start = bytes.size();
    const size_t name_bytes = changes[i].second.size() * sizeof(wchar_t);
    size_t length = offsetof(FILE_NOTIFY_INFORMATION, FileName) + name_bytes;
    length = (length + 3) & ~size_t{3};
    bytes.resize(start + length);
    FILE_NOTIFY_INFORMATION header = {};
    header.NextEntryOffset = i + 1 < changes.size() ? static_cast<DWORD>(length) : 0;
    header.Action = changes[i].first;
    header.FileNameLength = static_cast<DWORD>(name_bytes);
    std::memcpy(&bytes[start], &header, offsetof(FILE_NOTIFY_INFORMATION, FileName));
    std::memcpy(&bytes[start + offsetof(FILE_NOTIFY_INFORMATION, FileName)],
                changes[i].second.data(), name_bytes);
  }
  std::vector<DWORD> aligned((bytes.size() + 3) / 4);
  std::memcpy(aligned.data(), bytes.data(), bytes.size());
  return aligned;
}

// Waits up to two seconds for the log to hold `count` records with `number`.
bool WaitForRecords(int32_t number, int count) {
  for (int i = 0; i < 200 && CountLogNumber(number) < count; ++i) ::Sleep(10);
  return CountLogNumber(number) == count;
}

}  // namespace

TEST(FileSystemWatcher, AnnouncedNamesAreTakenOncePerAnnouncement) {
  FileSystemWatcher watcher;
  Error::ClearErrors();
  watcher.ExpectChange(L"C:\\some\\folder/Setup_P1.exepart0");
  watcher.ExpectChange(L"C:/some/folder/Setup_P1.exepart0");
  const auto records = Records({{FILE_ACTION_REMOVED, L"Setup_P1.exepart0"},
                                {FILE_ACTION_ADDED, L"new.bin"},
                                {FILE_ACTION_REMOVED, L"Setup_P1.exepart0"},
                                {FILE_ACTION_REMOVED, L"Setup_P1.exepart0"},
                                {FILE_ACTION_RENAMED_OLD_NAME, L"old.bin"},
                                {FILE_ACTION_RENAMED_NEW_NAME, L"renamed.bin"},
                                {FILE_ACTION_REMOVED, L"sub\\Setup_P1.exepart0"}});
  watcher.ReportChanges(records.data(), records.size() * sizeof(DWORD));

  const auto log = Error::GetErrorListJson();
  ASSERT_EQ(3u, log.size());
  EXPECT_EQ("File: Setup_P1.exepart0 was deleted but it was not by the download manager!",
            log[0]["message"]);
  EXPECT_EQ(DL_MANAGER_DELETED_OUTSIDE, log[0]["error_number"]);
  EXPECT_EQ("filesystemwatcher", log[0]["file"]);
  EXPECT_EQ("File: old.bin was renamed but it was not by the download manager!",
            log[1]["message"]);
  EXPECT_EQ(DL_MANAGER_RENAMED_OUTSIDE, log[1]["error_number"]);
  EXPECT_EQ("File: sub\\Setup_P1.exepart0 was deleted but it was not by the download manager!",
            log[2]["message"]);
}

TEST(FileSystemWatcher, TruncatedBufferIsNotReadPastItsEnd) {
  FileSystemWatcher watcher;
  Error::ClearErrors();
  auto records = Records({{FILE_ACTION_REMOVED, L"a-rather-long-file-name.bin"}});
  // The name claims more bytes than the buffer holds.
  watcher.ReportChanges(records.data(), 16);
  EXPECT_EQ(0, CountLogNumber(DL_MANAGER_DELETED_OUTSIDE));
}

TEST(FileSystemWatcher, RecordsOtherProcessesButNotAnnouncedDeletions) {
  TempDir dir;
  const std::wstring folder = dir.Path();
  ASSERT_TRUE(WriteFileBytes(folder + L"\\ours.bin", "1"));
  ASSERT_TRUE(WriteFileBytes(folder + L"\\theirs.bin", "2"));
  ASSERT_TRUE(WriteFileBytes(folder + L"\\moved.bin", "3"));
  Error::ClearErrors();
  FileSystemWatcher watcher;
  watcher.Watch(folder);
  ::Sleep(300);

  watcher.ExpectChange(folder + L"/ours.bin");
  ASSERT_TRUE(::DeleteFileW((folder + L"\\ours.bin").c_str()));
  ASSERT_TRUE(RunHelper(L"delete \"" + folder + L"\\theirs.bin\""));
  ASSERT_TRUE(RunHelper(L"rename \"" + folder + L"\\moved.bin\" \"" + folder + L"\\new.bin\""));

  EXPECT_TRUE(WaitForRecords(DL_MANAGER_DELETED_OUTSIDE, 1));
  EXPECT_TRUE(WaitForRecords(DL_MANAGER_RENAMED_OUTSIDE, 1));
  EXPECT_EQ(1, CountLogRecords("File: theirs.bin was deleted"));
  EXPECT_EQ(1, CountLogRecords("File: moved.bin was renamed"));
  EXPECT_EQ(0, CountLogRecords("ours.bin"));
  EXPECT_FALSE(watcher.TakeExpected(L"ours.bin"));
  EXPECT_EQ(1, CountLogRecords("FileSystemWatcher started"));

  // A stop is noticed quickly, without waiting for the next change.
  const DWORD start = ::GetTickCount();
  watcher.Stop(500);
  EXPECT_LT(::GetTickCount() - start, 300u);
}

TEST(FileSystemWatcher, StoppingAnIdleWatcherDoesNothing) {
  FileSystemWatcher watcher;
  Error::ClearErrors();
  watcher.Stop(500);
  EXPECT_EQ(0u, Error::GetErrorListJson().size());
}
