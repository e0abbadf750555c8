// The download worker against the real HTTPS test host, through WinINet.
#include "net/filedownload.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/crc.h"
#include "base/error.h"
#include "base/errorcodes.h"
#include "base/jsonwriter.h"
#include "base/stringutils.h"
#include "tests/support/debugcapture.h"
#include "tests/support/tempdir.h"
#include "tests/support/testdata.h"
#include "tests/support/testhost.h"

namespace {

constexpr char kSignature[] = "?sv=2026-01-01&sig=ZQ7SECRETSIGNATUREQ7Z";

uint32_t Crc(const std::string& bytes) { return CRC().Compute(bytes.data(), bytes.size()); }

std::string Narrow(const std::wstring& text) { return StringUtils::ToNarrow(text); }

// Records the worker's events with the log position at which they came.
class Recorder : public IDownloadListener {
 public:
  struct Event {
    std::string kind;
    size_t log_size;
    uint64_t bytes;
    DownloadState state;
  };

  void OnDownloadFinished(FileDownload* download) override { Add("finished", download); }
  void OnHostPushedBack(FileDownload* download) override { Add("pushed back", download); }
  void OnDownloadProgress(FileDownload* download) override {
    Add("progress", download);
    if (pause_on_first_progress && !paused_once.exchange(true)) pause->Set(true);
  }

  std::vector<Event> Events() const {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
  int Count(const std::string& kind) const {
    int n = 0;
    for (const Event& e : Events()) n += e.kind == kind ? 1 : 0;
    return n;
  }

  std::atomic<bool> pause_on_first_progress{false};
  std::atomic<bool> paused_once{false};
  // The workers' pause.
  const std::shared_ptr<RunPause> pause = std::make_shared<RunPause>();

 private:
  void Add(const char* kind, FileDownload* download) {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(
        {kind, Error::GetErrorListJson().size(), download->BytesReceived(), download->State()});
  }
  mutable std::mutex mutex;
  std::vector<Event> events;
};

std::vector<std::string> Messages() {
  std::vector<std::string> messages;
  for (const auto& record : Error::GetErrorListJson()) messages.push_back(record["message"]);
  return messages;
}

int CountWithPrefix(const std::string& prefix) {
  int n = 0;
  for (const std::string& m : Messages()) n += m.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
  return n;
}

bool WaitFor(const std::function<bool()>& condition, DWORD timeout_ms = 20000) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  while (!condition()) {
    if (GetTickCount64() > deadline) return false;
    Sleep(10);
  }
  return true;
}

class FileDownloadIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(host.Available(&why)) << why;
    ASSERT_TRUE(host.Reset());
    Error::ClearErrors();
  }
  void TearDown() override { Error::ClearErrors(); }

  // A part `path` on the test host, written to a part file in `dir` unless
  // another is named.
  DownloadRequest Request(const std::string& path, uint32_t crc, std::wstring part_file = L"",
                          std::wstring host_name = L"") {
    if (part_file.empty()) part_file = Folder() + L"/Release_P1.binpart0";
    if (host_name.empty()) host_name = host.HostName();
    return DownloadRequest::Part(host_name, StringUtils::ToWide(path),
                                 StringUtils::ToWide(kSignature), 0, 0, crc, part_file, &recorder);
  }

  std::wstring Folder() const {
    std::wstring folder = dir.Path();
    StringUtils::ReplaceAll(folder, L"\\", L"/");
    return folder;
  }

  void RunToEnd(FileDownload& worker) {
    ASSERT_NE(nullptr, worker.Start());
    worker.Wait();
  }

  TestHost host;
  TempDir dir;
  Recorder recorder;
  // The workers' stop and pause, as a run's.
  const std::shared_ptr<RunStop> stop = std::make_shared<RunStop>();
  const std::shared_ptr<RunPause> pause = recorder.pause;
};

}  // namespace

TEST_F(FileDownloadIntegration, GoodFileInOrderAndOnTheWire) {
  const std::string body = Pattern(1300000, 1);
  ASSERT_TRUE(host.PutObject("/veltra/0_Release.bin", body));
  FileDownload worker(Request("/veltra/0_Release.bin", Crc(body)), stop, pause);
  RunToEnd(worker);

  EXPECT_EQ(DOWNLOAD_FINISHED, worker.State());
  EXPECT_EQ(body, ReadFileBytes(worker.Request().part_file_path));

  // "Opening connection: ", "Response headers: ", progress events as the
  // chunks arrive, "Finished file: ", the success entry, then the finished
  // event.
  const std::vector<std::string> messages = Messages();
  ASSERT_EQ(4u, messages.size()) << WriteJson(Error::GetErrorListJson());
  EXPECT_EQ("Opening connection: " + Narrow(host.HostName()), messages[0]);
  EXPECT_EQ(0u, messages[1].find("Response headers: HTTP/1.1 200"));
  EXPECT_EQ("Finished file: " + Narrow(worker.Request().part_file_path), messages[2]);
  EXPECT_EQ(
      "Download: " + Narrow(worker.Request().part_file_path) + " correct CRC. Download succesful.",
      messages[3]);
  const auto events = recorder.Events();
  ASSERT_GE(events.size(), 2u);
  const size_t last = events.size() - 1;
  uint64_t bytes = 0;
  for (size_t i = 0; i < last; ++i) {
    EXPECT_EQ("progress", events[i].kind);
    EXPECT_EQ(2u, events[i].log_size);
    EXPECT_GT(events[i].bytes, bytes);
    bytes = events[i].bytes;
  }
  EXPECT_EQ(body.size(), bytes);
  EXPECT_EQ("finished", events[last].kind);
  EXPECT_EQ(4u, events[last].log_size);
  EXPECT_EQ(DOWNLOAD_FINISHED, events[last].state);

  const auto requests = host.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_TRUE(SameRequest({"GET",
                           std::string("/veltra/0_Release.bin") + kSignature,
                           {{"Host", Narrow(host.HostName())},
                            {"Pragma", "no-cache"},
                            {"User-Agent", "Veltra Download Manager / 9.5"}}},
                          requests[0]));
}

TEST_F(FileDownloadIntegration, CrcNeverMatchingMakesFourAttempts) {
  const std::string body = Pattern(700000, 2);
  ASSERT_TRUE(host.PutObject("/veltra/0_Bad.bin", body));
  FileDownload worker(Request("/veltra/0_Bad.bin", 0xDEADBEEF), stop, pause);
  RunToEnd(worker);

  EXPECT_EQ(DOWNLOAD_FINISHED, worker.State());
  EXPECT_EQ(4u, host.Requests().size());
  EXPECT_EQ(1, recorder.Count("finished"));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(worker.Request().part_file_path.c_str()));
  const std::string expected = "Download: " + Narrow(worker.Request().part_file_path) +
                               " incorrect CRC. Expected: -559038737 found: " +
                               std::to_string(static_cast<int32_t>(Crc(body))) +
                               " bytes read: 700000Retrying download";
  int mismatches = 0;
  for (const auto& record : Error::GetErrorListJson()) {
    if (record["message"] == expected) {
      ++mismatches;
      EXPECT_EQ(DL_MANAGER_CRC_INCORRECT, record["error_number"]);
    }
  }
  EXPECT_EQ(4, mismatches);
}

TEST_F(FileDownloadIntegration, NotFoundLeavesTheStatus) {
  FileDownload worker(Request("/veltra/0_Missing.bin", 5), stop, pause);
  RunToEnd(worker);
  EXPECT_EQ(DOWNLOAD_FINISHED, worker.State());
  EXPECT_EQ(404u, worker.ErrorCode());
  EXPECT_EQ(4u, host.Requests().size());
  EXPECT_EQ(4, CountWithPrefix("Response status not 200, but 404 Response headers: "));
  for (const auto& record : Error::GetErrorListJson()) {
    if (record["message"].get<std::string>().find("not 200") != std::string::npos) {
      EXPECT_EQ(DL_MANAGER_HTTP_STATUS_NOT_OK, record["error_number"]);
    }
  }
  EXPECT_EQ(1, recorder.Count("finished"));
}

TEST_F(FileDownloadIntegration, PauseHoldsTheResponseAndResumesIt) {
  const std::string body = Pattern(4000000, 3);
  ASSERT_TRUE(host.PutObject("/veltra/0_Big.bin", body));
  // The host holds the rest back for a while, so the pause comes before
  // the body could end, however late the worker sees its first progress.
  HostFault stall;
  stall.stall_at = 600000;
  stall.stall_ms = 1500;
  ASSERT_TRUE(host.SetFault("/veltra/0_Big.bin", stall));
  FileDownload worker(Request("/veltra/0_Big.bin", Crc(body)), stop, pause);
  recorder.pause_on_first_progress = true;
  ASSERT_NE(nullptr, worker.Start());
  ASSERT_TRUE(WaitFor([&] { return recorder.paused_once.load(); }));
  // The pause takes hold at the next read, after the stall; from then on
  // nothing is read.
  ASSERT_TRUE(WaitFor([&] { return pause->Holding() == 1; })) << "the worker never held";
  const uint64_t held = worker.BytesReceived();
  EXPECT_LT(held, body.size());
  EXPECT_TRUE(worker.IsRunning());
  pause->Set(false);
  worker.Wait();
  EXPECT_EQ(body, ReadFileBytes(worker.Request().part_file_path));
  EXPECT_EQ(1u, host.Requests().size()) << "resuming must continue the same response";
}

TEST_F(FileDownloadIntegration, StopDuringAStalledReadEndsPromptly) {
  const std::string body = Pattern(3000000, 4);
  ASSERT_TRUE(host.PutObject("/veltra/0_Stall.bin", body));
  HostFault stall;
  stall.stall_at = 600000;
  stall.stall_ms = 60000;
  ASSERT_TRUE(host.SetFault("/veltra/0_Stall.bin", stall));
  FileDownload worker(Request("/veltra/0_Stall.bin", Crc(body)), stop, pause);
  ASSERT_NE(nullptr, worker.Start());
  ASSERT_TRUE(WaitFor([&] { return recorder.Count("progress") >= 1; }));
  Sleep(300);
  const ULONGLONG start = GetTickCount64();
  stop->Request();
  worker.Wait();
  EXPECT_LT(GetTickCount64() - start, 1500u);
  EXPECT_EQ(DOWNLOAD_FINISHED, worker.State());
  EXPECT_EQ(1, recorder.Count("finished"));
  EXPECT_EQ(1u, host.Requests().size()) << "no attempt after a stop";
  // Cut short by the stop, not wrong: no false alarm of a bad part.
  EXPECT_EQ(0, CountWithPrefix("Download: " + Narrow(worker.Request().part_file_path) +
                               " incorrect CRC."));
  EXPECT_EQ(1, CountWithPrefix("Download: " + Narrow(worker.Request().part_file_path) +
                               " stopped after "));
  EXPECT_EQ(0, CountWithPrefix("InternetReadFile Failed"));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(worker.Request().part_file_path.c_str()));
}

TEST_F(FileDownloadIntegration, StopWhileTheHostHoldsBackTheHeaders) {
  ASSERT_TRUE(host.PutObject("/veltra/0_Slow.bin", Pattern(1000, 5)));
  HostFault stall;
  stall.stall_before_headers_ms = 60000;
  ASSERT_TRUE(host.SetFault("/veltra/0_Slow.bin", stall));
  FileDownload worker(Request("/veltra/0_Slow.bin", 5), stop, pause);
  ASSERT_NE(nullptr, worker.Start());
  ASSERT_TRUE(WaitFor([&] { return host.Requests().size() == 1; }));
  const ULONGLONG start = GetTickCount64();
  stop->Request();
  worker.Wait();
  EXPECT_LT(GetTickCount64() - start, 1500u);
  EXPECT_EQ(DOWNLOAD_FINISHED, worker.State());
}

TEST_F(FileDownloadIntegration, StopBeforeTheFirstRead) {
  ASSERT_TRUE(host.PutObject("/veltra/0_Held.bin", Pattern(1000, 6)));
  FileDownload worker(Request("/veltra/0_Held.bin", 77), stop, pause);
  pause->Set(true);  // opens, then never reads
  ASSERT_NE(nullptr, worker.Start());
  ASSERT_TRUE(WaitFor([&] { return CountWithPrefix("Response headers: ") == 1; }));
  stop->Request();
  worker.Wait();
  EXPECT_EQ(0, CountWithPrefix("Error reading file, reconnecting."));
  EXPECT_EQ(0, CountWithPrefix("Download: " + Narrow(worker.Request().part_file_path) +
                               " incorrect CRC."));
  EXPECT_EQ(1, CountWithPrefix("Download: " + Narrow(worker.Request().part_file_path) +
                               " stopped after 0 bytes"));
  EXPECT_EQ(1, recorder.Count("finished"));
  EXPECT_EQ(0, recorder.Count("progress"));
}

TEST_F(FileDownloadIntegration, MemoryModeKeepsTheBytesAndAcceptsAnyContent) {
  const std::string body = "x;Release.bin\r\n5\r\n-2\r\n";
  ASSERT_TRUE(host.PutObject("/veltra/release.txt", body));
  auto sink = std::make_shared<MemorySink>();
  FileDownload worker(
      DownloadRequest::InMemory(host.HostName(), StringUtils::ToWide("/veltra/release.txt"),
                                StringUtils::ToWide(kSignature), sink),
      stop, pause);
  RunToEnd(worker);
  EXPECT_EQ(DOWNLOAD_FINISHED, worker.State());
  ASSERT_EQ(body.size(), sink->Bytes().Size());
  EXPECT_EQ(body, std::string(reinterpret_cast<const char*>(sink->Bytes().Data()), body.size()));
  EXPECT_EQ(1u, host.Requests().size());
  EXPECT_EQ(1, CountWithPrefix("Download:  correct CRC. Download succesful."));

  // A body of unknown size outgrows its first room, left unset for the
  // reads: every byte kept is one that arrived.
  const std::string large = Pattern(1300000, 14);
  ASSERT_TRUE(host.PutObject("/veltra/large.txt", large));
  auto grown_sink = std::make_shared<MemorySink>();
  FileDownload grown(
      DownloadRequest::InMemory(host.HostName(), StringUtils::ToWide("/veltra/large.txt"),
                                StringUtils::ToWide(kSignature), grown_sink),
      stop, pause);
  RunToEnd(grown);
  ASSERT_EQ(large.size(), grown_sink->Bytes().Size());
  EXPECT_EQ(0, std::memcmp(large.data(), grown_sink->Bytes().Data(), large.size()));
}

// A CRC of 0 is checked like any other: neither an empty answer nor other
// bytes pass for such a part, and neither is taken for a disk that cannot
// be written.
TEST_F(FileDownloadIntegration, PartWithCrcZeroIsChecked) {
  ASSERT_TRUE(host.PutObject("/veltra/0_Empty.bin", ""));
  ASSERT_TRUE(host.PutObject("/veltra/0_Other.bin", Pattern(3000, 12)));
  for (const char* path : {"/veltra/0_Empty.bin", "/veltra/0_Other.bin"}) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(host.Reset());
    ASSERT_TRUE(host.PutObject("/veltra/0_Empty.bin", ""));
    ASSERT_TRUE(host.PutObject("/veltra/0_Other.bin", Pattern(3000, 12)));
    Error::ClearErrors();
    FileDownload worker(Request(path, 0), stop, pause);
    RunToEnd(worker);
    EXPECT_EQ(DOWNLOAD_FINISHED, worker.State());
    EXPECT_EQ(4u, host.Requests().size());
    EXPECT_EQ(4, CountWithPrefix("Download: " + Narrow(worker.Request().part_file_path) +
                                 " incorrect CRC. Expected: 0 found: "));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(worker.Request().part_file_path.c_str()));
  }
}

// Names are escaped segment by segment: "#" would cut the path, "%" would
// be read as an escape, and the signature still follows as it is.
TEST_F(FileDownloadIntegration, NamesWithUnsafeCharactersReachTheHostEscaped) {
  const std::string body = Pattern(5000, 13);
  ASSERT_TRUE(host.PutObject("/veltra%201/0_a%23b%25c%20d%3F.bin", body));
  FileDownload worker(Request("/veltra 1/0_a#b%c d?.bin", Crc(body)), stop, pause);
  RunToEnd(worker);
  EXPECT_EQ(body, ReadFileBytes(worker.Request().part_file_path));
  const auto requests = host.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ(std::string("/veltra%201/0_a%23b%25c%20d%3F.bin") + kSignature, requests[0].target);
}

TEST_F(FileDownloadIntegration, PartFileThatCannotBeWritten) {
  const std::string body = Pattern(2000, 7);
  ASSERT_TRUE(host.PutObject("/veltra/0_Unwritable.bin", body));
  // The parent of the part file's folder does not exist: one level only is
  // created.
  const std::wstring folder = Folder();
  FileDownload worker(Request("/veltra/0_Unwritable.bin", Crc(body),
                              folder + L"/missing/deeper/Release_P1.binpart0"),
                      stop, pause);
  RunToEnd(worker);
  EXPECT_EQ(DOWNLOAD_WRITE_FAILED, worker.State());
  EXPECT_EQ(0, recorder.Count("finished"));
  const auto events = recorder.Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(DOWNLOAD_WRITE_FAILED, events.back().state);
  EXPECT_EQ(1,
            CountWithPrefix("Unable to create directory: " + Narrow(folder) + "/missing/deeper"));
}

TEST_F(FileDownloadIntegration, PartFileLockedByAnotherProgram) {
  const std::string body = Pattern(2000, 8);
  ASSERT_TRUE(host.PutObject("/veltra/0_Locked.bin", body));
  FileDownload worker(Request("/veltra/0_Locked.bin", Crc(body)), stop, pause);
  HANDLE lock = CreateFileW(worker.Request().part_file_path.c_str(), GENERIC_READ, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, lock);
  RunToEnd(worker);
  CloseHandle(lock);
  // Received under the temporary name, which cannot take the part's.
  EXPECT_EQ(DOWNLOAD_WRITE_FAILED, worker.State());
  EXPECT_EQ(1, CountWithPrefix("Couldn't rename part file " +
                               Narrow(worker.Request().part_file_path) + ".tmp to "));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES,
            GetFileAttributesW((worker.Request().part_file_path + L".tmp").c_str()));
}

TEST_F(FileDownloadIntegration, RefusedConnectionIsRetriedAndNamed) {
  FileDownload worker(Request("/veltra/0_Any.bin", 5, L"", host.RefusedHostName()), stop, pause);
  RunToEnd(worker);
  EXPECT_EQ(DOWNLOAD_FINISHED, worker.State());
  int cannot_connect = 0;
  for (const auto& record : Error::GetErrorListJson()) {
    if (record["detailed_message"] == "ERROR_INTERNET_CANNOT_CONNECT") ++cannot_connect;
  }
  EXPECT_EQ(4, cannot_connect) << WriteJson(Error::GetErrorListJson());
  EXPECT_EQ(4, CountWithPrefix("Opening connection: "));
}

TEST_F(FileDownloadIntegration, ResetMidBodyIsRetried) {
  const std::string body = Pattern(1500000, 9);
  ASSERT_TRUE(host.PutObject("/veltra/0_Reset.bin", body));
  HostFault reset;
  reset.count = 1;
  reset.reset_at = 700000;
  ASSERT_TRUE(host.SetFault("/veltra/0_Reset.bin", reset));
  FileDownload worker(Request("/veltra/0_Reset.bin", Crc(body)), stop, pause);
  RunToEnd(worker);
  EXPECT_EQ(body, ReadFileBytes(worker.Request().part_file_path));
  EXPECT_EQ(2u, host.Requests().size());
  EXPECT_EQ(1, CountWithPrefix("InternetReadFile Failed for: "));
  EXPECT_EQ(1, CountWithPrefix("Error reading file, reconnecting."));
  // Wine reports a reset in the middle of a TLS body as "aborted".
  bool named = false;
  for (const auto& record : Error::GetErrorListJson()) {
    const std::string name = record["detailed_message"];
    named = named || name == "ERROR_INTERNET_CONNECTION_RESET" ||
            name == "ERROR_INTERNET_CONNECTION_ABORTED";
  }
  EXPECT_TRUE(named) << WriteJson(Error::GetErrorListJson());
}

TEST_F(FileDownloadIntegration, TruncatedOrFlippedBodiesAreRetried) {
  const std::string body = Pattern(1200000, 10);
  ASSERT_TRUE(host.PutObject("/veltra/0_Short.bin", body));
  HostFault truncate;
  truncate.count = 1;
  truncate.truncate_at = 900000;
  ASSERT_TRUE(host.SetFault("/veltra/0_Short.bin", truncate));
  ASSERT_TRUE(host.PutObject("/veltra/0_Flip.bin", body));
  HostFault flip;
  flip.count = 2;
  flip.flip = {5, 1100000};
  ASSERT_TRUE(host.SetFault("/veltra/0_Flip.bin", flip));

  FileDownload truncated(Request("/veltra/0_Short.bin", Crc(body)), stop, pause);
  RunToEnd(truncated);
  EXPECT_EQ(body, ReadFileBytes(truncated.Request().part_file_path));

  FileDownload flipped(
      Request("/veltra/0_Flip.bin", Crc(body), Folder() + L"/Release_P1.binpart0b"), stop, pause);
  RunToEnd(flipped);
  EXPECT_EQ(body, ReadFileBytes(flipped.Request().part_file_path));
  EXPECT_EQ(5u, host.Requests().size());  // 2 for the short one, 3 for the flipped one
  EXPECT_EQ(2, CountWithPrefix("Download: " + Narrow(flipped.Request().part_file_path) +
                               " incorrect CRC."));
}

// A host that sends more than the part: the body is cut one byte beyond it,
// so that memory never grows with what the host sends, and the try fails.
TEST_F(FileDownloadIntegration, BodyLongerThanThePartIsCutAndFails) {
  const std::string body = Pattern(15000000, 11);
  ASSERT_TRUE(host.PutObject("/veltra/0_Long.bin", body));
  FileDownload worker(
      DownloadRequest::Part(host.HostName(), L"/veltra/0_Long.bin", StringUtils::ToWide(kSignature),
                            0, 10000000, Crc(body.substr(0, 10000000)),
                            Folder() + L"/Release_P1.binpart0", &recorder),
      stop, pause);
  RunToEnd(worker);

  EXPECT_EQ(4u, host.Requests().size());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(worker.Request().part_file_path.c_str()));
  int cut = 0;
  for (const auto& record : Error::GetErrorListJson()) {
    if (record["message"].get<std::string>().find(" bytes read: 10000001Retrying") !=
        std::string::npos) {
      ++cut;
    }
  }
  EXPECT_EQ(4, cut);
}

TEST_F(FileDownloadIntegration, SignatureNeverReachesTheLog) {
  DebugCapture capture;
  ASSERT_TRUE(host.PutObject("/veltra/0_Sig.bin", Pattern(3000, 11)));
  FileDownload good(Request("/veltra/0_Sig.bin", 1), stop, pause);
  FileDownload missing(Request("/veltra/0_Gone.bin", 1), stop, pause);
  FileDownload refused(Request("/veltra/0_Sig.bin", 1, L"", host.RefusedHostName()), stop, pause);
  for (FileDownload* worker : {&good, &missing, &refused}) RunToEnd(*worker);

  const std::string secret = "ZQ7SECRETSIGNATUREQ7Z";
  EXPECT_EQ(std::string::npos, WriteJson(Error::GetErrorListJson()).find(secret));
  for (const std::string& line : capture.Narrow()) EXPECT_EQ(std::string::npos, line.find(secret));
  for (const std::wstring& line : capture.Wide()) {
    EXPECT_EQ(std::string::npos, Narrow(line).find(secret));
  }
  EXPECT_FALSE(capture.Wide().empty());
}

// The signature travels in every request: a redirect may only move the
// request within HTTPS on the same host.
TEST_F(FileDownloadIntegration, RedirectsLeavingHttpsOrTheHostAreRefused) {
  TestLogService log;
  std::string why;
  ASSERT_TRUE(log.Available(&why)) << why;
  ASSERT_TRUE(log.Reset());
  DebugCapture capture;
  const std::string body = Pattern(700000, 21);
  const std::string path = "/veltra/0_Release.bin";
  ASSERT_TRUE(host.PutObject(path, body));
  // A plain copy that a client which follows the redirect would receive.
  const std::string plain_path = "/plain" + path;
  const std::string same_host_http = "http://" + Narrow(host.HostName()) + plain_path + kSignature;
  const std::string other_host = "http://" + Narrow(log.HostName()) + ":" +
                                 std::to_string(log.HttpPort()) + plain_path + kSignature;
  const std::string secret = "ZQ7SECRETSIGNATUREQ7Z";

  for (const std::string& location : {same_host_http, other_host}) {
    SCOPED_TRACE(location);
    ASSERT_TRUE(host.Reset());
    ASSERT_TRUE(host.PutObject(path, body));
    ASSERT_TRUE(host.PutObject(plain_path, body));
    HostFault redirect;
    redirect.status = 302;
    redirect.headers = {{"Location", location}};
    ASSERT_TRUE(host.SetFault(path, redirect));
    Error::ClearErrors();
    FileDownload worker(Request(path, Crc(body)), stop, pause);
    RunToEnd(worker);

    // Every attempt fails like a bad status; nothing is written.
    EXPECT_EQ(DOWNLOAD_FINISHED, worker.State());
    EXPECT_EQ(302u, worker.ErrorCode());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(worker.Request().part_file_path.c_str()));
    const auto requests = host.Requests();
    EXPECT_EQ(4u, requests.size());
    for (const RecordedRequest& request : requests) EXPECT_EQ("https", request.scheme);
    EXPECT_EQ(4, CountWithPrefix("Connection::OpenHttpConnection refused a redirect of " +
                                 Narrow(host.HostName()) + "/ " + path + " to "));
    EXPECT_EQ(std::string::npos, WriteJson(Error::GetErrorListJson()).find(secret));
  }
  EXPECT_TRUE(log.Requests().empty()) << "a request went to the other host";
  for (const std::wstring& line : capture.Wide()) {
    EXPECT_EQ(std::string::npos, Narrow(line).find(secret));
  }
}

TEST_F(FileDownloadIntegration, RedirectWithinTheHostIsFollowed) {
  const std::string body = Pattern(700000, 22);
  ASSERT_TRUE(host.PutObject("/veltra/moved/0_Release.bin", body));
  HostFault redirect;
  redirect.count = 1;
  redirect.status = 301;
  redirect.headers = {{"Location", "https://" + Narrow(host.HostName()) +
                                       "/veltra/moved/0_Release.bin" + kSignature}};
  ASSERT_TRUE(host.SetFault("/veltra/0_Release.bin", redirect));
  FileDownload worker(Request("/veltra/0_Release.bin", Crc(body)), stop, pause);
  RunToEnd(worker);

  EXPECT_EQ(body, ReadFileBytes(worker.Request().part_file_path));
  const auto requests = host.Requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ(std::string("/veltra/0_Release.bin") + kSignature, requests[0].target);
  EXPECT_EQ(std::string("/veltra/moved/0_Release.bin") + kSignature, requests[1].target);
  EXPECT_EQ("https", requests[1].scheme);
  EXPECT_EQ(1, CountWithPrefix("Following redirect to: " + Narrow(host.HostName()) +
                               "/ /veltra/moved/0_Release.bin"));
  EXPECT_EQ(0, CountWithPrefix("Response status not 200"));
  EXPECT_EQ(std::string::npos, WriteJson(Error::GetErrorListJson()).find("SECRETSIGNATURE"));
}
