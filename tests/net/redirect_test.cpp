#include "net/redirect.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::wstring kHost = L"host4.s10.veltra.test";
const std::wstring kCurrent = L"/veltra/0_a.bin?sig=S";

std::wstring Target(const std::wstring& location) {
  std::wstring object = L"unchanged";
  if (!Redirect::SameHostTarget(location, kHost, kCurrent, object)) return L"refused";
  return object;
}

}  // namespace

// Hosts that try to move the signature elsewhere, through every form of
// address a Location header can take.
TEST(Redirect, OnlyTheSameHostOverHttpsIsATarget) {
  EXPECT_EQ(L"/veltra/b.bin?sig=S", Target(L"https://host4.s10.veltra.test/veltra/b.bin?sig=S"));
  EXPECT_EQ(L"/b", Target(L"HTTPS://HOST4.s10.veltra.test:443/b#part"));
  EXPECT_EQ(L"/?q", Target(L"https://host4.s10.veltra.test?q"));
  EXPECT_EQ(L"/other/c.bin", Target(L"/other/c.bin"));
  EXPECT_EQ(L"/veltra/d.bin?x", Target(L"d.bin?x"));

  EXPECT_EQ(L"refused", Target(L"http://host4.s10.veltra.test/veltra/b.bin?sig=S"));
  EXPECT_EQ(L"refused", Target(L"https://host4.s10.veltra.test:8443/b"));
  EXPECT_EQ(L"refused", Target(L"https://host4.s10.veltra.test.evil.test/b"));
  EXPECT_EQ(L"refused", Target(L"https://host4.s10.veltra.test@evil.test/b"));
  EXPECT_EQ(L"refused", Target(L"https://evil.test/host4.s10.veltra.test"));
  EXPECT_EQ(L"refused", Target(L"//evil.test/b"));
  EXPECT_EQ(L"refused", Target(L"ftp://host4.s10.veltra.test/b"));
  EXPECT_EQ(L"refused", Target(L"javascript:alert(1)"));
  EXPECT_EQ(L"refused", Target(L""));
  EXPECT_EQ(L"refused", Target(L"/b c"));
  EXPECT_EQ(L"refused", Target(L"/b\r\nX-Injected: 1"));
}

TEST(Redirect, QueriesAreCutFromEveryLineForTheLog) {
  EXPECT_EQ(L"HTTP/1.1 302 Found\r\nLocation: http://x/b\r\nContent-Length: 0\r\n\r\n",
            Redirect::WithoutQueries(L"HTTP/1.1 302 Found\r\nLocation: http://x/b?sv=1&sig=S\r\n"
                                     L"Content-Length: 0\r\n\r\n"));
}
