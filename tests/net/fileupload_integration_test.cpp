// The upload against the test log service and the test download host: what
// arrives on the wire, retries, error answers, and stops while the peer
// stalls.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "base/error.h"
#include "base/stringutils.h"
#include "net/fileupload.h"
#include "tests/support/tempdir.h"
#include "tests/support/testhost.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  uint32_t seed = 12345;
  for (char& c : bytes) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return bytes;
}

ByteBuffer Bytes(const std::string& text) {
  ByteBuffer buffer;
  buffer.Assign(text.data(), text.size());
  return buffer;
}

std::string Text(const ByteBuffer& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.Data()), buffer.Size());
}

HeaderMap LogHeaders() {
  HeaderMap headers;
  headers[L"User-Agent"] = L"Veltra Download Manager / 9.5";
  headers[L"Method"] = L"LogErrorInfo";
  headers[L"DownloadManagerVersion"] = L"9.5";
  headers[L"Content-Type"] = L"application/octet-stream";
  return headers;
}

// The Host header of a request to the service: its ports are not the
// schemes' defaults, so the port is part of it.
std::string HostHeader(const TestLogService& service, bool secure) {
  const unsigned short port = secure ? service.HttpsPort() : service.HttpPort();
  return StringUtils::ToNarrow(service.HostName()) + ":" + std::to_string(port);
}

// The whole request a post with LogHeaders() and `body` makes: what WinINet
// adds to every request, then the upload's own headers sorted by name.
ExpectedRequest LogRequest(const TestLogService& service, bool secure, const std::string& body) {
  return {"POST",
          "/Veltra/DownloadManager8.ashx",
          {{"Host", HostHeader(service, secure)},
           {"Content-Length", std::to_string(body.size())},
           {"Pragma", "no-cache"},
           {"Cache-Control", "no-cache"},
           {"Accept-Encoding", "gzip,deflate"},
           {"Content-Type", "application/octet-stream"},
           {"DownloadManagerVersion", "9.5"},
           {"Method", "LogErrorInfo"},
           {"User-Agent", "Veltra Download Manager / 9.5"}},
          body};
}

size_t CountLogged(const std::string& prefix) {
  size_t count = 0;
  for (const auto& record : Error::GetErrorListJson()) {
    if (record["message"].get<std::string>().rfind(prefix, 0) == 0) ++count;
  }
  return count;
}

class UploadIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(service.Available(&why)) << why;
    ASSERT_TRUE(service.Reset());
    Error::ClearErrors();
  }
  void TearDown() override {
    service.Reset();
    Error::ClearErrors();
  }

  // Waits until the service has recorded `count` requests.
  bool WaitForRequests(size_t count) {
    for (int i = 0; i < 100; ++i) {
      if (service.Requests().size() >= count) return true;
      ::Sleep(50);
    }
    return false;
  }

  TestLogService service;
};

}  // namespace

TEST_F(UploadIntegration, RawBodyArrivesWholeInOneRequestOverBothSchemes) {
  const std::string body = Pattern(2500);
  for (bool secure : {true, false}) {
    SCOPED_TRACE(secure ? "https" : "http");
    ASSERT_TRUE(service.Reset());
    FileUpload upload;
    EXPECT_EQ(WAIT_OBJECT_0, upload.SendDataAndWait(service.Url(secure), UPLOAD_VERB_POST,
                                                    LogHeaders(), Bytes(body)));
    EXPECT_EQ(200, upload.StatusCode());
    EXPECT_EQ(L"OK", upload.StatusText());
    EXPECT_EQ("OK", Text(upload.ResponseBody()));
    EXPECT_EQ(1u, upload.Attempts());
    EXPECT_EQ(2500u, upload.BodyLength());
    EXPECT_EQ(2500u, upload.BytesSent());
    EXPECT_EQ(2u, upload.BytesReceived());
    EXPECT_EQ(secure ? service.HttpsPort() : service.HttpPort(), upload.Port());

    const auto requests = service.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_TRUE(SameRequest(LogRequest(service, secure, body), requests[0]));
  }
  EXPECT_EQ(2u, CountLogged("Sending HTTP POST Headers:\r\nAccept-Encoding: gzip,deflate\r\n"
                            "Content-Type: application/octet-stream\r\n"
                            "DownloadManagerVersion: 9.5\r\nMethod: LogErrorInfo\r\n"
                            "User-Agent: Veltra Download Manager / 9.5"));
  EXPECT_FALSE(Error::HasErrors());
}

TEST_F(UploadIntegration, BodyOfWholeAndPartWritesArrivesExactly) {
  for (size_t size : {size_t{1}, size_t{1024}, size_t{1025}, size_t{300000}}) {
    SCOPED_TRACE(size);
    ASSERT_TRUE(service.Reset());
    const std::string body = Pattern(size);
    FileUpload upload;
    upload.SendDataAndWait(service.Url(), UPLOAD_VERB_POST, LogHeaders(), Bytes(body));
    EXPECT_EQ(200, upload.StatusCode());
    EXPECT_EQ(size, upload.BytesSent());
    const auto requests = service.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_TRUE(SameRequest(LogRequest(service, true, body), requests[0]));
  }
}

TEST_F(UploadIntegration, EmptyBodyIsSentWithLengthZero) {
  FileUpload upload;
  upload.SendDataAndWait(service.Url(), UPLOAD_VERB_POST, LogHeaders(), ByteBuffer());
  EXPECT_EQ(200, upload.StatusCode());
  EXPECT_EQ(0u, upload.BodyLength());
  const auto requests = service.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_TRUE(SameRequest(LogRequest(service, true, ""), requests[0]));
}

TEST_F(UploadIntegration, FormAndMultipartBodiesArriveByteForByte) {
  FormFields fields;
  fields[L"b"] = L"2";
  fields[L"a"] = L"x y";
  FileUpload form;
  form.SendFormAndWait(service.Url(), UPLOAD_VERB_POST, HeaderMap(), fields, true);
  EXPECT_EQ(200, form.StatusCode());

  TempDir dir;
  ASSERT_TRUE(WriteFileBytes(dir.File(L"f.bin"), "abc"));
  std::wstring path = dir.File(L"f.bin");
  for (wchar_t& c : path) {
    if (c == L'\\') c = L'/';
  }
  FormFiles files;
  files[path] = L"";
  FormFields one;
  one[L"a"] = L"1";
  HeaderMap headers;
  headers[L"Method"] = L"LogErrorInfo";
  FileUpload multipart;
  multipart.UploadFilesAndWait(service.Url(), UPLOAD_VERB_POST, headers, one, files, false, false);
  EXPECT_EQ(200, multipart.StatusCode());

  const auto requests = service.Requests();
  ASSERT_EQ(2u, requests.size());
  // Without a User-Agent of the caller's, WinINet sends the session's name.
  const std::string host = HostHeader(service, true);
  EXPECT_TRUE(SameRequest({"POST",
                           "/Veltra/DownloadManager8.ashx",
                           {{"Host", host},
                            {"Content-Length", "11"},
                            {"User-Agent", "Veltra"},
                            {"Pragma", "no-cache"},
                            {"Cache-Control", "no-cache"},
                            {"Accept-Encoding", "gzip,deflate"}},
                           "a=x%20y&b=2"},
                          requests[0]));
  const std::string multipart_body =
      "--gc0p4Jq0M2Yt08jU534c0p\r\n"
      "Content-Disposition: form-data; name=\"f.bin\"; filename=\"f.bin\"\r\n"
      "Content-Type: application/octet-stream\r\n;charset=binary\r\n"
      "Content-Transfer-Encoding: binary\r\nContent-Length: 3\r\n\r\n"
      "abc\r\n--gc0p4Jq0M2Yt08jU534c0p\r\n"
      "Content-Disposition: form-data; name=\"a\"\r\n\r\n"
      "1\r\n--gc0p4Jq0M2Yt08jU534c0p--\r\n";
  EXPECT_TRUE(SameRequest({"POST",
                           "/Veltra/DownloadManager8.ashx",
                           {{"Host", host},
                            {"Content-Length", std::to_string(multipart_body.size())},
                            {"User-Agent", "Veltra"},
                            {"Pragma", "no-cache"},
                            {"Cache-Control", "no-cache"},
                            {"Accept-Encoding", "gzip,deflate"},
                            {"Content-Type", "multipart/form-data;boundary=gc0p4Jq0M2Yt08jU534c0p"},
                            {"Method", "LogErrorInfo"}},
                           multipart_body},
                          requests[1]));
}

TEST_F(UploadIntegration, RefusedThreeTimesFailsWith9000AndGrowsAcceptEncoding) {
  LogBehaviour refuse;
  refuse.refuse = true;
  ASSERT_TRUE(service.SetBehaviour(refuse));
  HeaderMap headers = LogHeaders();
  headers[L"Accept-Encoding"] = L"identity";
  FileUpload upload;
  const auto start = Clock::now();
  EXPECT_EQ(WAIT_OBJECT_0,
            upload.SendDataAndWait(service.Url(), UPLOAD_VERB_POST, headers, Bytes(Pattern(2500))));
  EXPECT_LT(MillisecondsSince(start), 15000);
  EXPECT_EQ(9000, upload.StatusCode());
  EXPECT_EQ(L"HTTP Operation failed", upload.StatusText());
  EXPECT_EQ(3u, upload.Attempts());
  EXPECT_EQ(3u, CountLogged("Opening connection for: "));
  EXPECT_EQ(3u, CountLogged("Error on HttpSendRequest, "));
  EXPECT_TRUE(upload.ResponseBody().Empty());
  EXPECT_EQ(L"identity,gzip,deflate,gzip,deflate,gzip,deflate",
            upload.RequestHeaders().at(L"Accept-Encoding"));
  EXPECT_TRUE(Error::HasErrors());
  EXPECT_TRUE(service.Requests().empty());

  // The caller's map replaces the grown one on the next request.
  ASSERT_TRUE(service.Reset());
  upload.SendDataAndWait(service.Url(), UPLOAD_VERB_POST, LogHeaders(), Bytes("x"));
  EXPECT_EQ(200, upload.StatusCode());
  EXPECT_EQ(L"OK", upload.StatusText());
  const auto requests = service.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_TRUE(SameRequest(LogRequest(service, true, "x"), requests[0]));
}

TEST_F(UploadIntegration, ErrorAnswersEndTheRunAfterOneAttemptWithTheirBody) {
  FileUpload missing;
  std::wstring url = service.Url();
  url.replace(url.find(L"DownloadManager8"), 16, L"Nothing");
  missing.SendDataAndWait(url, UPLOAD_VERB_POST, LogHeaders(), Bytes("x"));
  EXPECT_EQ(404, missing.StatusCode());
  EXPECT_EQ("Not found", Text(missing.ResponseBody()));
  EXPECT_EQ(1u, missing.Attempts());

  LogBehaviour fail;
  fail.status = 500;
  fail.body = "boom";
  ASSERT_TRUE(service.SetBehaviour(fail));
  FileUpload failing;
  failing.SendDataAndWait(service.Url(), UPLOAD_VERB_POST, LogHeaders(), Bytes("x"));
  EXPECT_EQ(500, failing.StatusCode());
  EXPECT_EQ("boom", Text(failing.ResponseBody()));
  EXPECT_EQ(1u, failing.Attempts());
  EXPECT_EQ(L"text/plain", failing.ResponseHeaders().at(L"Content-Type"));
  EXPECT_NE(std::wstring::npos, failing.RawResponseHeaders().find(L" 500 "));
  EXPECT_EQ(2u, service.Requests().size());
}

// A service that takes the request and never answers: a stop, or the
// upload's destruction, ends it at once and stores nothing.
TEST_F(UploadIntegration, StopWhileTheServiceStallsEndsPromptly) {
  LogBehaviour stall;
  stall.stall_before_answer_ms = 30000;
  ASSERT_TRUE(service.SetBehaviour(stall));

  FormFields fields;
  fields[L"a"] = L"1";
  for (bool raw : {true, false}) {
    SCOPED_TRACE(raw ? "raw body" : "form");
    Error::ClearErrors();
    const size_t before = service.Requests().size();
    FileUpload upload;
    HANDLE thread =
        raw
            ? upload.SendData(service.Url(), UPLOAD_VERB_POST, LogHeaders(), Bytes(Pattern(5000)))
            : upload.SendForm(service.Url(), UPLOAD_VERB_POST, LogHeaders(), fields, false);
    ASSERT_NE(nullptr, thread);
    ASSERT_TRUE(WaitForRequests(before + 1));
    ::Sleep(200);
    EXPECT_EQ(nullptr, upload.SendData(service.Url(), UPLOAD_VERB_POST, HeaderMap(), Bytes("y")))
        << "a request while one runs is refused";

    const auto start = Clock::now();
    upload.Stop(15000);
    EXPECT_LT(MillisecondsSince(start), 1000);
    EXPECT_EQ(0, upload.StatusCode());
    EXPECT_TRUE(upload.ResponseBody().Empty());
    EXPECT_FALSE(Error::HasErrors());
  }

  // Destroying a running upload stops it the same way.
  auto upload = std::make_unique<FileUpload>();
  upload->SendData(service.Url(), UPLOAD_VERB_POST, LogHeaders(), Bytes("z"));
  ASSERT_TRUE(WaitForRequests(3));
  const auto start = Clock::now();
  upload.reset();
  EXPECT_LT(MillisecondsSince(start), 1000);
}

TEST_F(UploadIntegration, StallShorterThanTheTimeoutsIsWaitedFor) {
  LogBehaviour stall;
  stall.stall_before_answer_ms = 2000;
  stall.count = 1;
  ASSERT_TRUE(service.SetBehaviour(stall));
  FileUpload upload;
  const auto start = Clock::now();
  upload.SendDataAndWait(service.Url(), UPLOAD_VERB_POST, LogHeaders(), Bytes("x"));
  EXPECT_GE(MillisecondsSince(start), 1900);
  EXPECT_EQ(200, upload.StatusCode());
  EXPECT_EQ(1u, upload.Attempts());
}

// A download host that stops in the middle of its answer: the stop ends the
// read at once and the partial body is not stored.
TEST_F(UploadIntegration, StopWhileReadingTheAnswerEndsPromptly) {
  TestHost host;
  std::string why;
  ASSERT_TRUE(host.Available(&why)) << why;
  ASSERT_TRUE(host.Reset());
  ASSERT_TRUE(host.PutObject("/answer.bin", Pattern(200000)));
  HostFault fault;
  fault.stall_at = 50000;
  fault.stall_ms = 30000;
  ASSERT_TRUE(host.SetFault("/answer.bin", fault));

  FileUpload upload;
  ASSERT_NE(nullptr, upload.SendForm(L"https://" + host.HostName() + L"/answer.bin",
                                     UPLOAD_VERB_GET, HeaderMap(), FormFields(), false));
  for (int i = 0; i < 100 && host.Counters().bytes_sent < 50000; ++i) ::Sleep(50);
  ::Sleep(300);
  const auto start = Clock::now();
  upload.Stop(15000);
  EXPECT_LT(MillisecondsSince(start), 1000);
  EXPECT_EQ(200, upload.StatusCode());
  EXPECT_TRUE(upload.ResponseBody().Empty());
  EXPECT_FALSE(Error::HasErrors());
  host.Reset();
}
