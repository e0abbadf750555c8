#include <gtest/gtest.h>
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <string>

#include "tests/support/testhost.h"
#include "tests/support/wininetprobe.h"

namespace {

class TestLogServiceIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(log_.Available(&why)) << why;
    ASSERT_TRUE(log_.Reset());
  }

  TestLogService log_;
};

TEST_F(TestLogServiceIntegration, RecordsStreamedPostExactlyOverBothSchemes) {
  const std::string body = RandomBytes(2500, 6);
  const PostResult https = Post(log_.HostName(), log_.HttpsPort(), true, body);
  ASSERT_TRUE(https.sent) << https.error;
  EXPECT_EQ(200u, https.status);
  const PostResult http = Post(log_.HostName(), log_.HttpPort(), false, body);
  ASSERT_TRUE(http.sent) << http.error;
  EXPECT_EQ(200u, http.status);

  const auto requests = log_.Requests();
  ASSERT_EQ(2u, requests.size());
  const std::wstring name = log_.HostName();
  for (int k = 0; k < 2; ++k) {
    const unsigned short port = k == 0 ? log_.HttpsPort() : log_.HttpPort();
    EXPECT_TRUE(
        SameRequest({"POST",
                     "/Veltra/DownloadManager8.ashx",
                     {{"Host", std::string(name.begin(), name.end()) + ":" + std::to_string(port)},
                      {"Content-Length", "2500"},
                      {"Pragma", "no-cache"},
                      {"Cache-Control", "no-cache"},
                      {"Content-Type", "application/octet-stream"},
                      {"DownloadManagerVersion", "9.5"},
                      {"Method", "LogErrorInfo"},
                      {"User-Agent", "Veltra Download Manager / 9.5"}},
                     body},
                    requests[k]));
  }
  EXPECT_EQ(L"https://" + log_.HostName() + L":" + std::to_wstring(log_.HttpsPort()) +
                L"/Veltra/DownloadManager8.ashx",
            log_.Url());
}

TEST_F(TestLogServiceIntegration, AnswersServerErrorThenRecovers) {
  LogBehaviour failing;
  failing.status = 500;
  failing.body = "database down";
  failing.count = 1;
  ASSERT_TRUE(log_.SetBehaviour(failing));
  const PostResult r = Post(log_.HostName(), log_.HttpsPort(), true, "x");
  ASSERT_TRUE(r.sent) << r.error;
  EXPECT_EQ(500u, r.status);
  EXPECT_EQ("database down", r.body);
  const PostResult again = Post(log_.HostName(), log_.HttpsPort(), true, "x");
  EXPECT_EQ(200u, again.status);
  EXPECT_EQ(2u, log_.Requests().size());
}

TEST_F(TestLogServiceIntegration, RefusesAndStalls) {
  LogBehaviour refusing;
  refusing.refuse = true;
  ASSERT_TRUE(log_.SetBehaviour(refusing));
  const PostResult refused = Post(log_.HostName(), log_.HttpsPort(), true, "x");
  std::printf("[wininet] log refused: sent=%d error=%lu\n", refused.sent, refused.error);
  EXPECT_FALSE(refused.sent);
  EXPECT_TRUE(log_.Requests().empty());

  LogBehaviour stalling;
  stalling.stall_before_answer_ms = 3000;
  ASSERT_TRUE(log_.SetBehaviour(stalling));  // also listens again
  const DWORD start = ::GetTickCount();
  const PostResult late = Post(log_.HostName(), log_.HttpPort(), false, "x");
  std::printf(
      "[wininet] log stall 3000 ms, receive timeout 10000 ms: sent=%d status=%lu "
      "after %lu ms\n",
      late.sent, late.status, ::GetTickCount() - start);
  EXPECT_EQ(200u, late.status);
  EXPECT_GE(::GetTickCount() - start, 2900u);

  // A service that stops reading in the middle of the body: the body fits
  // into the socket buffers, so the wait falls on HttpEndRequestW.
  LogBehaviour slow_reader;
  slow_reader.stall_in_body_ms = 3000;
  ASSERT_TRUE(log_.SetBehaviour(slow_reader));
  const DWORD began = ::GetTickCount();
  const PostResult timed_out =
      Post(log_.HostName(), log_.HttpsPort(), true, RandomBytes(2500, 8), 1000);
  std::printf(
      "[wininet] log stalls reading the body, receive timeout 1000 ms on the request "
      "handle: sent=%d error=%lu status=%lu after %lu ms\n",
      timed_out.sent, timed_out.error, timed_out.status, ::GetTickCount() - began);
  // Wine lets HttpEndRequestW succeed after the timeout and then reports
  // status 0: success of the end alone does not mean an answer arrived.
  EXPECT_NE(200u, timed_out.status);
  EXPECT_LT(::GetTickCount() - began, 2900u);
}

}  // namespace
