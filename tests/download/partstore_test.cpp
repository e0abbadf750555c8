// The release's files on disk without a run: part checks, verification of
// final files, totals and merges, each against files the test writes.
#include "download/partstore.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "base/crc.h"
#include "base/error.h"
#include "base/flagevent.h"
#include "base/scopedhandle.h"
#include "base/stringutils.h"
#include "tests/support/managertest.h"
#include "tests/support/tempdir.h"
#include "tests/support/testdata.h"

namespace {

int32_t Crc32(const std::string& bytes) {
  return static_cast<int32_t>(CRC().Compute(bytes.data(), bytes.size()));
}

// The record of data-1a.bin holding `bytes`, cut into its parts.
ManifestFile DataRecord(const std::string& bytes) {
  ManifestFile record{L"data-1a.bin", L"data_P1-1a.bin", static_cast<uint32_t>(bytes.size()), {}};
  for (size_t at = 0; at < bytes.size(); at += kPartSize) {
    record.part_crcs.push_back(Crc32(bytes.substr(at, kPartSize)));
  }
  return record;
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A store over fresh temp folders, running until a test stops it.
class PartStoreTest : public ::testing::Test {
 protected:
  PartStoreTest() : store(layout, watcher, progress, StopToken(running)) {
    program = dir.Path() + L"\\program";
    download = dir.Path() + L"/download";
    ::CreateDirectoryW(program.c_str(), nullptr);
    ::CreateDirectoryW(download.c_str(), nullptr);
    layout.SetRelease(L"Sub", L"P1");
    layout.Configure(L"", L"Veltra_R1.txt", download, program);
    running.store(true);
    Error::ClearErrors();
  }

  TempDir dir;
  std::wstring program;
  std::wstring download;
  ReleaseLayout layout;
  FileSystemWatcher watcher;
  ProgressCounters progress;
  FlagEvent running;
  PartStore store;
};

}  // namespace

TEST_F(PartStoreTest, CrcCheckOfAPartFile) {
  const std::string bytes = Pattern(1000, 1);
  const std::wstring path = download + L"/x.binpart0";
  ASSERT_TRUE(WriteFileBytes(path, bytes));
  EXPECT_TRUE(store.CRCCheckFile(path, Crc32(bytes)));
  EXPECT_FALSE(store.CRCCheckFile(path, Crc32(bytes) + 1));
  EXPECT_EQ(0u, Error::GetErrorListJson().size());
  EXPECT_FALSE(store.CRCCheckFile(download + L"/missing", Crc32(bytes)));
  EXPECT_EQ(1, CountLogRecords("DownloadManager::CRCCheckFile unable to open file "));
}

TEST_F(PartStoreTest, OneBlockBufferServesChecksOfEverySize) {
  // The store keeps its block between checks: a part larger than any before
  // must enlarge it, and a smaller one after it must see only its own bytes,
  // not what a larger one left behind.
  const std::string large = Pattern(12000000, 4);
  const std::string small = Pattern(3000, 5);
  ASSERT_TRUE(WriteFileBytes(download + L"/x.binpart0", small));
  ASSERT_TRUE(WriteFileBytes(download + L"/x.binpart1", large));
  EXPECT_TRUE(store.CRCCheckFile(download + L"/x.binpart0", Crc32(small)));
  EXPECT_TRUE(store.CRCCheckFile(download + L"/x.binpart1", Crc32(large)));
  EXPECT_TRUE(store.CRCCheckFile(download + L"/x.binpart0", Crc32(small)));

  const ManifestFile record{
      L"data-1a.bin", L"data_P1-1a.bin", 13000, {Crc32(large.substr(0, 13000))}};
  ASSERT_TRUE(WriteFileBytes(program + L"/data_P1-1a.bin", large.substr(0, 13000)));
  EXPECT_TRUE(store.CheckFinalFile(record, L"data_P1-1a.bin"));
  EXPECT_TRUE(store.CRCCheckFile(download + L"/x.binpart0", Crc32(small)));
  EXPECT_EQ(0u, Error::GetErrorListJson().size());
}

TEST_F(PartStoreTest, PartsOnDiskCountOnlyWhenCorrect) {
  const std::string bytes = Pattern(25000000, 6);
  const ManifestFile record = DataRecord(bytes);
  const std::wstring local = L"data_P1-1a.bin";
  ASSERT_TRUE(WriteFileBytes(layout.PartPath(local, 0), bytes.substr(0, 10000000)));
  ASSERT_TRUE(WriteFileBytes(layout.PartPath(local, 2), "damaged"));
  std::vector<size_t> missing;
  ASSERT_TRUE(store.CheckParts(record, local, missing));
  EXPECT_EQ((std::vector<size_t>{1, 2}), missing);
  EXPECT_FALSE(Exists(layout.PartPath(local, 2)));
  EXPECT_EQ(10000000u, progress.Snapshot().bytes_done);
  EXPECT_EQ(10000000u, progress.Snapshot().bytes_reused);

  // Stopped: nothing more is read.
  running.store(false);
  EXPECT_FALSE(store.CheckParts(record, local, missing));
}

// A stop that cuts a part check short says nothing against the part: the
// check ends without deleting it or counting it missing. The part is a pipe
// here, so that the check is known to be reading it once the pipe is
// connected, and it never ends: only the stop can end the check.
TEST_F(PartStoreTest, StopInTheMiddleOfAPartCheckKeepsThePart) {
  ReleaseLayout pipes;
  pipes.Configure(L"", L"Veltra_R1.txt", L"\\\\.\\pipe", program);
  PartStore pipe_store(pipes, watcher, progress, StopToken(running));
  const std::wstring local = L"veltra-check-" + std::to_wstring(::GetCurrentProcessId());
  UniqueHandle server(::CreateNamedPipeW((L"\\\\.\\pipe\\" + local + L"part0").c_str(),
                                         PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED,
                                         PIPE_TYPE_BYTE | PIPE_WAIT, 1, 1 << 16, 1 << 16, 0,
                                         nullptr));
  ASSERT_TRUE(server);
  UniqueHandle io_done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED io = {};
  io.hEvent = io_done.Get();
  const ManifestFile record{L"data-1a.bin", L"data_P1-1a.bin", 5, {Crc32("bytes")}};
  std::vector<size_t> missing;
  std::future<bool> check = std::async(std::launch::async, [&] {
    return pipe_store.CheckParts(record, local, missing);
  });
  const bool connected = ::ConnectNamedPipe(server.Get(), &io)
                             ? true
                             : ::GetLastError() == ERROR_PIPE_CONNECTED ||
                                   (::GetLastError() == ERROR_IO_PENDING &&
                                    ::WaitForSingleObject(io_done.Get(), 60000) == WAIT_OBJECT_0);
  running.store(false);
  // The part never ends: the check can end only by the stop.
  std::thread feeder([&server] {
    UniqueHandle written(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const std::string chunk(1 << 16, 'x');
    for (;;) {
      OVERLAPPED write = {};
      write.hEvent = written.Get();
      DWORD done = 0;
      if (!::WriteFile(server.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), nullptr,
                       &write) &&
          ::GetLastError() != ERROR_IO_PENDING) {
        break;
      }
      if (!::GetOverlappedResult(server.Get(), &write, &done, TRUE)) break;
    }
  });
  const bool ended = check.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  // Ends the feeder's write and, had the stop been missed, the check's read.
  ::CancelIoEx(server.Get(), nullptr);
  ::DisconnectNamedPipe(server.Get());
  feeder.join();
  ASSERT_TRUE(connected);
  ASSERT_TRUE(ended);
  EXPECT_FALSE(check.get());
  EXPECT_TRUE(missing.empty());
}

TEST_F(PartStoreTest, VerificationReadsBlockByBlock) {
  const std::string bytes = Pattern(25000000, 2);
  const ManifestFile record = DataRecord(bytes);
  const std::wstring local = L"data_P1-1a.bin";
  const std::wstring final_path = program + L"/" + local;

  ASSERT_TRUE(WriteFileBytes(final_path, bytes));
  EXPECT_TRUE(store.CheckFinalFile(record, local));
  EXPECT_EQ(25000000u, progress.Snapshot().bytes_verified);

  // A file whose blocks all match but that is longer or shorter than its
  // record fails, is deleted, and bytes_done never drops below 0.
  for (const std::string& wrong : {bytes + "tail", bytes.substr(0, 24000000)}) {
    Error::ClearErrors();
    ASSERT_TRUE(WriteFileBytes(final_path, wrong));
    EXPECT_FALSE(store.CheckFinalFile(record, local));
    EXPECT_FALSE(Exists(final_path));
    EXPECT_EQ(1, CountLogRecords("CheckFileFromCRCInfo size is not correct: "));
    EXPECT_EQ(-3, Error::GetErrorListJson()[0]["error_number"]);
    EXPECT_EQ(0u, progress.Snapshot().bytes_done);
  }

  // Missing: false without a report.
  Error::ClearErrors();
  EXPECT_FALSE(store.CheckFinalFile(record, local));
  EXPECT_EQ(0u, Error::GetErrorListJson().size());
}

TEST_F(PartStoreTest, RecordWithoutPartsOnlyNeedsItsFile) {
  const ManifestFile record{L"readme-1a.bin", L"readme_P1-1a.bin", 12, {}};
  EXPECT_FALSE(store.CheckFinalFile(record, L"readme_P1-1a.bin"));
  ASSERT_TRUE(WriteFileBytes(program + L"/readme_P1-1a.bin", "anything"));
  EXPECT_TRUE(store.CheckFinalFile(record, L"readme_P1-1a.bin"));
}

TEST_F(PartStoreTest, TotalsNeverCountMoreThanTheRecordSays) {
  ASSERT_TRUE(WriteFileBytes(program + L"/data_P1-1a.bin", std::string(300, 'x')));
  store.CountFinalFiles(
      {{L"data-1a.bin", L"data_P1-1a.bin", 100, {1}}, {L"Setup.exe", L"Setup_P1.exe", 16, {1}}});
  EXPECT_EQ(116u, progress.Snapshot().total_bytes);
  EXPECT_EQ(100u, progress.Snapshot().bytes_done);
}

namespace {

class MergeTest : public PartStoreTest {
 protected:
  MergeTest() {
    bytes = Pattern(25000000, 3);
    record = {L"Setup.exe", L"Setup_P1.exe", 25000000, {}};
    for (size_t k = 0; k < 3; ++k) {
      const std::string part = bytes.substr(k * 10000000, 10000000);
      record.part_crcs.push_back(Crc32(part));
      WriteFileBytes(Part(k), part);
    }
  }
  std::wstring Part(size_t k) { return download + L"/Setup_P1.exepart" + std::to_wstring(k); }
  std::wstring Final() { return program + L"/Setup_P1.exe"; }
  PartStore::MergeResult Merge() { return store.Merge(record, L"Setup_P1.exe", true); }

  std::string bytes;
  ManifestFile record;
};

}  // namespace

TEST_F(MergeTest, PartsBecomeTheFinalFile) {
  EXPECT_EQ(PartStore::MergeResult::kMerged, Merge());
  EXPECT_TRUE(ReadFileBytes(Final()) == bytes);
  for (size_t k = 0; k < 3; ++k) EXPECT_FALSE(Exists(Part(k)));
  EXPECT_EQ(66u, progress.Snapshot().merge_percent);
  EXPECT_FALSE(progress.Snapshot().merging);
  EXPECT_EQ(0u, Error::GetErrorListJson().size());
}

// A merge that cannot finish costs no part: a missing part is found before
// anything is written, a part changed on disk half-way through.
TEST_F(MergeTest, MergeThatCannotFinishKeepsEveryPart) {
  ASSERT_TRUE(::DeleteFileW(Part(1).c_str()));
  EXPECT_FALSE(store.PartsComplete(record, L"Setup_P1.exe"));
  EXPECT_FALSE(Exists(Final()));
  EXPECT_TRUE(Exists(Part(0)));
  EXPECT_TRUE(Exists(Part(2)));
  const auto log = Error::GetErrorListJson();
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ("Merging part files failed. Unable to open: " + StringUtils::ToNarrow(Part(1)),
            log[0]["message"]);
  EXPECT_EQ("", log[0]["file"]);

  ASSERT_TRUE(WriteFileBytes(Part(1), "changed on disk"));
  EXPECT_FALSE(store.PartsComplete(record, L"Setup_P1.exe"));
  EXPECT_EQ(1, CountLogRecords("Merging part files failed. Wrong size of: "));
  ASSERT_TRUE(WriteFileBytes(Part(1), std::string(10000000, 'x')));
  EXPECT_TRUE(store.PartsComplete(record, L"Setup_P1.exe"));
  EXPECT_EQ(PartStore::MergeResult::kFailed, Merge());
  EXPECT_FALSE(Exists(Final()));
  for (size_t k = 0; k < 3; ++k) EXPECT_TRUE(Exists(Part(k)));
  EXPECT_EQ(1,
            CountLogRecords("CRC Check of file : " + StringUtils::ToNarrow(Final()) + " failed!"));
  EXPECT_FALSE(progress.Snapshot().merging);
}

// The rename is refused as if another program held the file, and waited
// out for the whole patience (some 10 s): an integration test.
using MergeIntegration = MergeTest;

TEST_F(MergeIntegration, UnwritableFinalFileKeepsEveryPart) {
  // A folder in the final file's place cannot be replaced by a file.
  ASSERT_TRUE(::CreateDirectoryW(Final().c_str(), nullptr));
  EXPECT_EQ(PartStore::MergeResult::kFailed, Merge());
  for (size_t k = 0; k < 3; ++k) EXPECT_TRUE(Exists(Part(k)));
  EXPECT_EQ(1, CountLogRecords("Merging part files failed. Unable to create: "));
  EXPECT_FALSE(progress.Snapshot().merging);
}

TEST_F(MergeTest, StoppedMergeKeepsEveryPartAndLeavesNoFinalFile) {
  running.store(false);
  EXPECT_EQ(PartStore::MergeResult::kStopped, Merge());
  for (size_t k = 0; k < 3; ++k) EXPECT_TRUE(Exists(Part(k)));
  EXPECT_FALSE(Exists(Final()));
  EXPECT_FALSE(Exists(Final() + L".merging"));
  EXPECT_FALSE(progress.Snapshot().merging);
}
