#include "base/stringutils.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <stdexcept>

using Pieces = std::vector<std::wstring>;

TEST(StringUtilsSplit, KeepsOrDropsEmptyPiecesAndCountsSeparators) {
  Pieces pieces;
  EXPECT_EQ(4u, StringUtils::Split(L"a/b//c/", L"/", pieces, false));
  EXPECT_EQ((Pieces{L"a", L"b", L"c"}), pieces);

  pieces.clear();
  EXPECT_EQ(4u, StringUtils::Split(L"a/b//c/", L"/", pieces, true));
  EXPECT_EQ((Pieces{L"a", L"b", L"", L"c", L""}), pieces);
}

TEST(StringUtilsSplit, NoSeparatorYieldsNoPieceAndAppends) {
  Pieces pieces{L"kept"};
  EXPECT_EQ(0u, StringUtils::Split(L"abc", L"/", pieces, true));
  EXPECT_EQ(0u, StringUtils::Split(L"", L"/", pieces, true));
  EXPECT_EQ(0u, StringUtils::Split(L"abc", L"", pieces, true));
  EXPECT_EQ((Pieces{L"kept"}), pieces);

  EXPECT_EQ(1u, StringUtils::Split(L"x\r\ny", L"\r\n", pieces, true));
  EXPECT_EQ((Pieces{L"kept", L"x", L"y"}), pieces);
}

TEST(StringUtilsSplit, OccurrencesDoNotOverlap) {
  Pieces pieces;
  EXPECT_EQ(1u, StringUtils::Split(L"a\r\n\nb", L"\r\n", pieces, true));
  EXPECT_EQ(2u, StringUtils::Split(L"aaaa", L"aa", pieces, true));
  EXPECT_EQ((Pieces{L"a", L"\nb", L"", L"", L""}), pieces);
}

TEST(StringUtilsJoin, EmptyItemsAddSeparatorsOnlyAfterText) {
  EXPECT_EQ(L"a//b", StringUtils::Join({L"", L"a", L"", L"b"}, L"/"));
  EXPECT_EQ(L"", StringUtils::Join({}, L"/"));
  EXPECT_EQ(L"", StringUtils::Join({L"", L""}, L"/"));
}

TEST(StringUtilsReplace, RunsCollapseCompletely) {
  std::wstring text = L"a///b////c";
  EXPECT_EQ(L"a/b/c", StringUtils::ReplaceAll(text, L"//", L"/"));
  EXPECT_EQ(L"a/b/c", text);

  std::wstring mixed = L"HTTP://x http://y hTtP://z";
  EXPECT_EQ(L"x y z", StringUtils::ReplaceAllNoCase(mixed, L"http://", L""));
}

TEST(StringUtilsReplace, ReplacementContainingSearchTextEnds) {
  std::wstring text = L"a/b/c";
  EXPECT_EQ(L"a//b//c", StringUtils::ReplaceAll(text, L"/", L"//"));
  std::wstring empty_search = L"abc";
  EXPECT_EQ(L"abc", StringUtils::ReplaceAll(empty_search, L"", L"x"));
  std::wstring folded = L"A-a";
  EXPECT_EQ(L"aA-aA", StringUtils::ReplaceAllNoCase(folded, L"a", L"aA"));
}

TEST(StringUtilsFindNoCase, FoldsOnlyAsciiLetters) {
  EXPECT_EQ(0u, StringUtils::FindNoCase(L"Https://X", L"https://"));
  EXPECT_EQ(2u, StringUtils::FindNoCase(L"xxABC", L"abc"));
  EXPECT_EQ(std::wstring::npos, StringUtils::FindNoCase(L"\u00C9", L"\u00E9"));
  EXPECT_EQ(std::wstring::npos, StringUtils::FindNoCase(L"abc", L"abcd"));
}

TEST(StringUtilsGetFileName, TakesTheLastComponent) {
  EXPECT_EQ(L"file.exe", StringUtils::GetFileName(L"C:\\dir\\file.exe"));
  EXPECT_EQ(L"file.exe", StringUtils::GetFileName(L"C:\\dir/sub\\file.exe"));
  EXPECT_EQ(L"", StringUtils::GetFileName(L"file.exe"));
  EXPECT_EQ(L"", StringUtils::GetFileName(L"C:\\dir\\"));
}

struct UrlParts {
  std::wstring host;
  std::wstring path;
  int32_t port = -1;
  bool secure = false;
};

UrlParts Split(const std::wstring& address) {
  UrlParts parts;
  StringUtils::SplitUrl(address, parts.host, parts.path, parts.port, parts.secure);
  return parts;
}

TEST(StringUtilsSplitUrl, SchemesAndPorts) {
  UrlParts p = Split(L"https://host:8443/dir/page");
  EXPECT_EQ(L"host", p.host);
  EXPECT_EQ(L"dir/page", p.path);
  EXPECT_EQ(8443, p.port);
  EXPECT_TRUE(p.secure);

  p = Split(L"HTTP://host/x");
  EXPECT_EQ(L"host", p.host);
  EXPECT_EQ(L"x", p.path);
  EXPECT_EQ(80, p.port);
  EXPECT_FALSE(p.secure);

  p = Split(L"HtTpS://logs.example.test/Veltra/DownloadManager8.ashx");
  EXPECT_EQ(L"logs.example.test", p.host);
  EXPECT_EQ(L"Veltra/DownloadManager8.ashx", p.path);
  EXPECT_EQ(443, p.port);
  EXPECT_TRUE(p.secure);

  p = Split(L"http://127.0.0.5:8080/a//b");
  EXPECT_EQ(L"127.0.0.5", p.host);
  EXPECT_EQ(L"a/b", p.path);
  EXPECT_EQ(8080, p.port);
}

TEST(StringUtilsSplitUrl, AddressWithoutSlashLeavesHostAndPathEmpty) {
  UrlParts p = Split(L"https://host");
  EXPECT_EQ(L"", p.host);
  EXPECT_EQ(L"", p.path);
  EXPECT_EQ(443, p.port);
  EXPECT_TRUE(p.secure);
}

TEST(StringUtilsSplitUrl, HostOnlyWithTrailingSlash) {
  UrlParts p = Split(L"http://host:81/");
  EXPECT_EQ(L"host", p.host);
  EXPECT_EQ(L"", p.path);
  EXPECT_EQ(81, p.port);
}

TEST(StringUtilsSplitUrl, PortBeyond32BitsThrowsOutOfRange) {
  EXPECT_THROW(Split(L"http://host:99999999999/x"), std::out_of_range);
}

TEST(StringUtilsUrlEncode, EncodesEverythingButLettersAndDigits) {
  EXPECT_EQ(L"a%20b%2dc", StringUtils::UrlEncode(L"a b-c"));
  EXPECT_EQ(L"%c3%a9", StringUtils::UrlEncode(L"\u00E9"));
  EXPECT_EQ(L"%e2%82%ac", StringUtils::UrlEncode(L"\u20AC"));
  EXPECT_EQ(L"%5f%2e%21%7e%2a%27%28%29", StringUtils::UrlEncode(L"_.!~*'()"));
  EXPECT_EQ(L"%00%7f%c2%80", StringUtils::UrlEncode(std::wstring(L"\0\x7f\x80", 3)));
  // The halves of a surrogate pair are encoded one by one.
  EXPECT_EQ(L"%ed%a0%bd%ed%b8%80", StringUtils::UrlEncode(L"\xD83D\xDE00"));
}

TEST(StringUtilsConversion, RoundTripsTheAnsiCodePage) {
  EXPECT_EQ(L"", StringUtils::ToWide(""));
  EXPECT_EQ("", StringUtils::ToNarrow(L""));
  EXPECT_EQ(L"Setup.exe", StringUtils::ToWide("Setup.exe"));
  EXPECT_EQ("Setup.exe", StringUtils::ToNarrow(L"Setup.exe"));
  // Every byte of a single-byte code page comes back unchanged.
  if (GetACP() == 1252) {
    EXPECT_EQ(L"caf\u00E9", StringUtils::ToWide("caf\xE9"));
    EXPECT_EQ("caf\xE9", StringUtils::ToNarrow(L"caf\u00E9"));
  }
}

TEST(StringUtilsConversion, StopsAtAnEmbeddedZero) {
  EXPECT_EQ(L"ab", StringUtils::ToWide(std::string("ab\0cd", 5)));
  EXPECT_EQ("ab", StringUtils::ToNarrow(std::wstring(L"ab\0cd", 5)));
}
