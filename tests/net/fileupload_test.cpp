// The upload's request settings, without a network.
#include <windows.h>

#include <gtest/gtest.h>

#include "base/error.h"
#include "net/fileupload.h"

namespace {

class Upload : public ::testing::Test {
 protected:
  void SetUp() override { Error::ClearErrors(); }
  void TearDown() override { Error::ClearErrors(); }

  static bool Logged(const std::string& prefix) {
    for (const auto& record : Error::GetErrorListJson()) {
      if (record["message"].get<std::string>().rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
};

}  // namespace

TEST_F(Upload, UrlGivesHostPathPortAndScheme) {
  FileUpload upload;
  upload.ServerSettingsFromUrl(L"https://log.veltra.test/Veltra/DownloadManager8.ashx");
  EXPECT_EQ(L"log.veltra.test", upload.ServerName());
  EXPECT_EQ(L"Veltra/DownloadManager8.ashx", upload.ObjectPath());
  EXPECT_EQ(443, upload.Port());
  EXPECT_TRUE(upload.Secure());

  upload.ServerSettingsFromUrl(L"http://127.0.0.1:8080/Veltra/DownloadManager8.ashx");
  EXPECT_EQ(L"127.0.0.1", upload.ServerName());
  EXPECT_EQ(8080, upload.Port());
  EXPECT_FALSE(upload.Secure());

  upload.ServerSettingsFromUrl(L"HTTPS://Log:8443/x");
  EXPECT_EQ(L"Log", upload.ServerName());
  EXPECT_EQ(L"x", upload.ObjectPath());
  EXPECT_EQ(8443, upload.Port());
  EXPECT_TRUE(upload.Secure());

  upload.ServerSettingsFromUrl(L"log.veltra.test/a");
  EXPECT_EQ(80, upload.Port());
  EXPECT_FALSE(upload.Secure());
  EXPECT_TRUE(Logged("FileUpload::ServerSettingsFromUrl: log.veltra.test/a"));
}

// A port that does not fit would be cut to 16 bits and reach another port,
// or (beyond 32 bits) throw on the caller's thread: no attempt is made.
TEST_F(Upload, UnusablePortFailsWithoutConnecting) {
  for (const wchar_t* url : {L"http://127.0.0.1:65616/x", L"http://127.0.0.1:99999999999/x"}) {
    Error::ClearErrors();
    FileUpload upload;
    const std::string x = "x";
    ByteBuffer body;
    body.Assign(x.data(), x.size());
    EXPECT_EQ(WAIT_OBJECT_0, upload.SendDataAndWait(url, UPLOAD_VERB_POST, HeaderMap(), body));
    EXPECT_EQ(9000, upload.StatusCode());
    EXPECT_EQ(L"HTTP Operation failed", upload.StatusText());
    EXPECT_EQ(0u, upload.Attempts());
    EXPECT_TRUE(Logged("FileUpload::ServerSettingsFromUrl invalid port in "));
    EXPECT_FALSE(Logged("Opening connection for: "));
  }
}

TEST_F(Upload, ResponseHeaderLinesAreSplitAtTheFirstColonBlank) {
  HeaderMap headers;
  headers[L"Stale"] = L"x";
  FileUpload::ParseResponseHeaders(
      L"HTTP/1.1 500 Internal Server Error\r\nA: 1\r\nTwo:  2\r\nThree:   3\r\n"
      L"Date: Mon, 07 Dec 2026 08:00:00 GMT\r\nOdd: a: b\r\nEmpty: \r\nNoBlank:x\r\nA: "
      L"again\r\n\r\n",
      headers);
  HeaderMap expected;
  expected[L"A"] = L"again";
  expected[L"Two"] = L"2";
  expected[L"Three"] = L" 3";
  expected[L"Date"] = L"Mon, 07 Dec 2026 08:00:00 GMT";
  expected[L"Empty"] = L"";
  EXPECT_EQ(expected, headers);
}
