// The log upload at close, against the test log service: what the service
// receives, what stays on disk, and how long a bad service holds the close.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include <zlib.h>

#include "base/error.h"
#include "base/filesystem.h"
#include "base/jsonwriter.h"
#include "base/stringutils.h"
#include "download/downloadmanager.h"
#include "tests/support/gunzip.h"
#include "tests/support/managertest.h"
#include "tests/support/tempdir.h"
#include "tests/support/testhost.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

long long MillisecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count();
}

// The log's JSON text as the service must receive it: UTF-16LE units, no
// byte-order mark, no terminator.
std::string Utf16(const std::string& ansi) {
  const std::wstring wide = StringUtils::ToWide(ansi);
  return std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class LogUploadIntegration : public ::testing::Test {
 protected:
  LogUploadIntegration() : manager(&listener) {}

  void SetUp() override {
    std::string why;
    ASSERT_TRUE(service.Available(&why)) << why;
    ASSERT_TRUE(service.Reset());
    program = dir.Path() + L"\\program";
    download = dir.Path() + L"/download";
    ::CreateDirectoryW(program.c_str(), nullptr);
    ::CreateDirectoryW(download.c_str(), nullptr);
    manager.SetShell(&shell);
    manager.Configure(L"", L"", L"R.txt", download, program);
    manager.SetLogServiceUrl(service.Url());
    manager.SetLogRelease(L"Veltra_R7", L"9.5.0.1");
    readable_log = FileSystem::GetExecutableFolderWide() + L"/logfile.txt";
    ::DeleteFileW(readable_log.c_str());
    Error::ClearErrors();
  }

  void TearDown() override {
    ::DeleteFileW(readable_log.c_str());
    service.Reset();
    Error::ClearErrors();
  }

  TestLogService service;
  TempDir dir;
  std::wstring program;
  std::wstring download;
  std::wstring readable_log;
  RecordingShell shell;
  RecordingListener listener{shell};
  DownloadManager manager;
};

}  // namespace

TEST_F(LogUploadIntegration, PostsTheCompressedLogWithItsFiveHeadersAndRemovesIt) {
  Error::LogMessage(L"Opening connection: host", "filedownload", 10);
  Error::RecordError("DownloadManager::CRCCheckFile unable to open file C:/Veltra \"\xe9\"", 2,
                     "downloadmanager", 20);
  const std::string json = WriteJson(Error::GetErrorListJson());

  manager.PostLogFile();

  const auto requests = service.Requests();
  ASSERT_EQ(1u, requests.size());
  const RecordedRequest& request = requests[0];
  // The five headers of our own, after what WinINet adds to every request;
  // the compressed body is read back below.
  const std::wstring log_host = service.HostName() + L":" + std::to_wstring(service.HttpsPort());
  EXPECT_TRUE(SameRequest({"POST",
                           "/Veltra/DownloadManager8.ashx",
                           {{"Host", StringUtils::ToNarrow(log_host)},
                            {"Content-Length", std::to_string(request.body.size())},
                            {"Pragma", "no-cache"},
                            {"Cache-Control", "no-cache"},
                            {"Accept-Encoding", "gzip,deflate"},
                            {"Content-Type", "application/octet-stream"},
                            {"DownloadManagerVersion", "9.5"},
                            {"Method", "LogErrorInfo"},
                            {"Release", "Veltra_R7 9.5.0.1"},
                            {"User-Agent", "Veltra Download Manager / 9.5"}},
                           std::nullopt},
                          request));

  ASSERT_GT(request.body.size(), 10u);
  EXPECT_EQ(2, request.body[8]) << "compressed at level 9";
  const std::string text = Gunzip(request.body);
  EXPECT_EQ(Utf16(json), text);
  EXPECT_EQ(std::string("[\0{\0", 4), text.substr(0, 4));

  EXPECT_FALSE(Exists(download + L"/logfile.gz"));
  const std::string readable = ReadFileBytes(readable_log);
  EXPECT_EQ(0u, readable.find("Message: Opening connection: host Detailed Message:  Error "
                              "Number: 0 File: filedownload Line: 10\t\n"));
  EXPECT_NE(std::string::npos, readable.find("Error Number: 2 File: downloadmanager Line: 20"));
}

TEST_F(LogUploadIntegration, LogWithoutErrorsIsSentWithoutReadableCopy) {
  manager.PostLogFile();
  ASSERT_EQ(1u, service.Requests().size());
  EXPECT_EQ(std::string("[\0]\0", 4), Gunzip(service.Requests()[0].body));

  ASSERT_TRUE(service.Reset());
  Error::ClearErrors();
  Error::LogMessage(L"Finished file: a.bin", "downloadmanager", 5);
  manager.PostLogFile();
  ASSERT_EQ(1u, service.Requests().size());
  EXPECT_FALSE(Exists(readable_log));
  EXPECT_FALSE(Exists(download + L"/logfile.gz"));
  EXPECT_FALSE(Error::HasErrors());
}

// Starting the setup removed the download folder: nothing to send.
TEST_F(LogUploadIntegration, AfterTheSetupStartNothingIsSent) {
  Error::RecordError("earlier failure", 5, "downloadmanager", 1);
  FileSystem::RecursivelyRemoveDirectory(download);
  ASSERT_FALSE(Exists(download));
  LogUpload upload;
  upload.SetServiceUrl(service.Url());
  upload.Post(download, true);

  EXPECT_TRUE(service.Requests().empty());
  EXPECT_FALSE(Exists(readable_log));
  EXPECT_FALSE(Exists(download));
  const nlohmann::json log = Error::GetErrorListJson();
  const nlohmann::json& last = log.back();
  EXPECT_EQ(StringUtils::ToNarrow(L"DownloadManager::PostLogFile Unable to delete " + download +
                                  L"/logfile.gz"),
            last["message"]);
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, last["error_number"]);
  EXPECT_EQ("downloadmanager", last["file"]);
}

// A run that failed before it wrote a part, or whose download folder cannot
// be written, still sends its log and leaves the readable copy; nothing of
// the log stays behind.
TEST_F(LogUploadIntegration, WithoutAUsableDownloadFolderTheLogStillGoesOut) {
  ASSERT_TRUE(::RemoveDirectoryW(download.c_str()));
  Error::RecordError("early failure", 5, "downloadmanager", 1);
  manager.PostLogFile();
  ASSERT_EQ(1u, service.Requests().size());
  EXPECT_NE(std::string::npos, Gunzip(service.Requests()[0].body).find(Utf16("early failure")));
  EXPECT_NE(std::string::npos, ReadFileBytes(readable_log).find("early failure"));
  EXPECT_FALSE(Exists(download)) << "a folder made for the log goes with it";

  // A file where the folder should be: the log goes through the temporary
  // folder.
  ASSERT_TRUE(service.Reset());
  ::DeleteFileW(readable_log.c_str());
  WriteFileBytes(download, "not a folder");
  wchar_t temp[MAX_PATH + 1] = {};
  ::GetTempPathW(MAX_PATH + 1, temp);
  auto temporary_logs = [&] {
    std::vector<std::wstring> names;
    FileSystem::ListFiles(temp, {L"vlg*.tmp"}, names, false);
    return names.size();
  };
  const size_t before = temporary_logs();
  manager.PostLogFile();
  ASSERT_EQ(1u, service.Requests().size());
  EXPECT_NE(std::string::npos, Gunzip(service.Requests()[0].body).find(Utf16("early failure")));
  EXPECT_NE(std::string::npos, ReadFileBytes(readable_log).find("early failure"));
  EXPECT_EQ("not a folder", ReadFileBytes(download));
  EXPECT_EQ(before, temporary_logs());
  ::DeleteFileW(download.c_str());
}

TEST_F(LogUploadIntegration, RefusingServiceEndsTheCloseSoonAndKeepsTheReadableLog) {
  LogBehaviour refuse;
  refuse.refuse = true;
  ASSERT_TRUE(service.SetBehaviour(refuse));
  Error::LogMessage(L"Opening connection: host", "filedownload", 10);
  const auto start = SteadyClock::now();
  manager.PostLogFile();
  EXPECT_LT(MillisecondsSince(start), 10000);
  EXPECT_FALSE(Exists(download + L"/logfile.gz"));
  // The failed attempts are errors of the log by now.
  EXPECT_NE(std::string::npos, ReadFileBytes(readable_log).find("Error on HttpSendRequest, "));
}

TEST_F(LogUploadIntegration, StallingServiceIsWaitedForOnceNotRetried) {
  LogBehaviour stall;
  stall.stall_before_answer_ms = 3000;
  ASSERT_TRUE(service.SetBehaviour(stall));
  const auto start = SteadyClock::now();
  manager.PostLogFile();
  const long long elapsed = MillisecondsSince(start);
  EXPECT_GE(elapsed, 2900);
  EXPECT_LT(elapsed, 8000);
  EXPECT_EQ(1u, service.Requests().size());
  EXPECT_FALSE(Exists(download + L"/logfile.gz"));
}
