// The process-wide log: indexes, concurrency, logfile.txt and the JSON text.
#include <windows.h>

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "base/error.h"
#include "base/errorcodes.h"
#include "base/jsonwriter.h"
#include "tests/support/tempdir.h"

namespace {

class Log : public ::testing::Test {
 protected:
  void SetUp() override { Error::ClearErrors(); }
  void TearDown() override { Error::ClearErrors(); }
};

std::string Narrow(const std::wstring& path) { return std::string(path.begin(), path.end()); }

}  // namespace

TEST_F(Log, IndexesCountFromZeroAndRestartAfterClear) {
  Error::LogMessage("a", "", 0);
  Error::RecordError("b", 2, "", 0);
  Error::LogError(L"c", 12002, "", 0);
  nlohmann::json list = Error::GetErrorListJson();
  ASSERT_EQ(3u, list.size());
  for (int i = 0; i < 3; ++i) EXPECT_EQ(i, list[i]["log_index"]);

  Error::ClearErrors();
  EXPECT_TRUE(Error::GetErrorListJson().empty());
  Error::LogMessage("d", "", 0);
  EXPECT_EQ(0, Error::GetErrorListJson()[0]["log_index"]);
}

TEST_F(Log, HasErrorsOnlyForNonZeroNumbers) {
  EXPECT_FALSE(Error::HasErrors());
  Error::LogMessage("step", "", 0);
  Error::LogError("zero", 0, "", 0);
  EXPECT_FALSE(Error::HasErrors());
  Error::RecordError("gave up", static_cast<uint32_t>(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED), "", 0);
  EXPECT_TRUE(Error::HasErrors());
}

TEST_F(Log, JsonTextHasTheServiceLayout) {
  Error::RecordError("x", 0, "", 0);
  Error::RecordError("Couldn't read \"a\\b\"\t", static_cast<uint32_t>(DL_MANAGER_CRC_INCORRECT),
                     "filesystem", 12);
  EXPECT_EQ(
      "[{\"detailed_message\": \"\", \"error_number\": 0, \"file\": \"\", \"line\": 0, "
      "\"log_index\": 0, \"message\": \"x\"}, "
      "{\"detailed_message\": \"DL_MANAGER_CRC_INCORRECT\", \"error_number\": -32766, "
      "\"file\": \"filesystem\", \"line\": 12, \"log_index\": 1, "
      "\"message\": \"Couldn't read \\\"a\\\\b\\\"\\t\"}]",
      WriteJson(Error::GetErrorListJson()));
}

TEST_F(Log, WriteLogFileRendersEveryRecord) {
  TempDir dir;
  const std::wstring path = dir.File(L"logfile.txt");
  Error::RecordError("x", 0, "", 0);
  Error::RecordError("y", static_cast<uint32_t>(DL_MANAGER_MAX_ATTEMPTS_EXCEEDED), "downloadmanager",
                     -3);
  Error::WriteLogFile(Narrow(path));
  EXPECT_EQ(
      "Message: x Detailed Message:  Error Number: 0 File:  Line: 0\t\n"
      "Message: y Detailed Message: DL_MANAGER_MAX_ATTEMPTS_EXCEEDED Error Number: -32767 "
      "File: downloadmanager Line: -3",
      ReadFileBytes(path));
}

TEST_F(Log, WriteLogFileReachesFoldersOutsideTheCodePage) {
  TempDir dir;
  const std::wstring folder = dir.File(L"\u0141ukasz \u4E2D");
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  Error::RecordError("x", 2, "f", 1);
  Error::WriteLogFile(folder + L"/logfile.txt");
  EXPECT_EQ(0u, ReadFileBytes(folder + L"\\logfile.txt").find("Message: x Detailed Message: "));
}

TEST_F(Log, WriteLogFileWithEmptyListEmptiesTheFile) {
  TempDir dir;
  const std::wstring path = dir.File(L"logfile.txt");
  ASSERT_TRUE(WriteFileBytes(path, "old content"));
  Error::WriteLogFile(Narrow(path));
  EXPECT_EQ(0xFFFFFFFFu != GetFileAttributesW(path.c_str()), true);
  EXPECT_EQ("", ReadFileBytes(path));
}

TEST_F(Log, WriteLogFileIntoMissingFolderDoesNothing) {
  TempDir dir;
  Error::RecordError("x", 0, "", 0);
  Error::WriteLogFile(Narrow(dir.File(L"missing\\logfile.txt")));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(dir.File(L"missing").c_str()));
  EXPECT_EQ(1u, Error::GetErrorListJson().size());
}

// Eight threads report at once through every operation; no record may be
// lost and every index must equal the record's position.
TEST_F(Log, ConcurrentReportsKeepEveryRecordInOrder) {
  constexpr int kThreads = 8;
  constexpr int kEach = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) {
        const std::string message = std::to_string(t) + ":" + std::to_string(i);
        switch (i % 4) {
          case 0: Error::RecordError(message, 12002, "t", i); break;
          case 1: Error::LogMessage(std::wstring(message.begin(), message.end()), "t", i); break;
          case 2: Error::LogError(message, 0, "t", i); break;
          default: Error::HasErrors(); Error::RecordError(message, 0, "t", i); break;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();

  const nlohmann::json list = Error::GetErrorListJson();
  ASSERT_EQ(static_cast<size_t>(kThreads * kEach), list.size());
  std::set<std::string> messages;
  std::vector<int> last_seen(kThreads, -1);
  for (size_t i = 0; i < list.size(); ++i) {
    ASSERT_EQ(static_cast<int>(i), list[i]["log_index"]);
    const std::string message = list[i]["message"];
    messages.insert(message);
    const int thread = std::stoi(message.substr(0, message.find(':')));
    const int sequence = std::stoi(message.substr(message.find(':') + 1));
    EXPECT_GT(sequence, last_seen[thread]) << "records of one thread out of order";
    last_seen[thread] = sequence;
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kEach), messages.size());
}
