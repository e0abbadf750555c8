#include "download/releasemanifest.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/crc.h"

namespace {

ReleaseManifest Parse(const std::string& text) { return ParseCrcInfo(text.data(), text.size()); }

}  // namespace

TEST(ParseCrcInfo, TextWithoutSemicolonHasNoRecords) {
  EXPECT_TRUE(Parse("").empty());
  EXPECT_TRUE(Parse("Setup.exe\r\n5\r\n-2\r\n").empty());
}

TEST(ParseCrcInfo, OneRecordAndItsReaders) {
  const ReleaseManifest info = Parse("x;A.exe\r\n5\r\n-2\r\n");
  ASSERT_EQ(1u, info.size());
  EXPECT_TRUE(info[0].local_name.empty());
  EXPECT_EQ(L"A.exe", info[0].host_name);
  EXPECT_EQ(5u, info[0].size);
  EXPECT_EQ(1u, info[0].part_crcs.size());
  // -2 is the CRC fffffffe taken as a signed value.
  EXPECT_EQ(static_cast<int32_t>(0xFFFFFFFEu), info[0].part_crcs.at(0));
}

TEST(ParseCrcInfo, PieceBeforeTheFirstSemicolonIsIgnored) {
  const ReleaseManifest info =
      Parse("Header\r\n1\r\n2\r\n;B.bin\r\n3\r\n;C.bin\r\n4\r\n7\r\n8\r\n");
  ASSERT_EQ(2u, info.size());
  EXPECT_EQ(L"B.bin", info[0].host_name);
  EXPECT_EQ(0u, info[0].part_crcs.size());
  EXPECT_EQ(2u, info[1].part_crcs.size());
  EXPECT_EQ(8, info[1].part_crcs.at(1));
}

TEST(ParseCrcInfo, TrailingEmptyLinesDropInnerEmptyLinesStay) {
  ReleaseManifest info = Parse(";A\r\n5\r\n1\r\n\r\n\r\n");
  ASSERT_EQ(1u, info.size());
  EXPECT_EQ(1u, info[0].part_crcs.size());
  info = Parse(";A\r\n5\r\n\r\n1\r\n");
  ASSERT_EQ(1u, info.size());
  // The empty line is a part whose CRC reads as 0.
  EXPECT_EQ((std::vector<int32_t>{0, 1}), info[0].part_crcs);
}

TEST(ParseCrcInfo, PiecesWithFewerThanTwoLinesAreSkipped) {
  // A final ";", a piece without CR LF, a piece of only a name.
  const ReleaseManifest info = Parse(";A\r\n5\r\n;;NoLineBreak;OnlyName\r\n;\r\n\r\n;B\r\n6\r\n;");
  ASSERT_EQ(2u, info.size());
  EXPECT_EQ(L"A", info[0].host_name);
  EXPECT_EQ(L"B", info[1].host_name);
}

TEST(ParseCrcInfo, ZeroBytesAreRemovedFirst) {
  const std::string text(
      "x;\0A.e\0xe\r\n1\0"
      "0\r\n",
      16);
  const ReleaseManifest info = Parse(text);
  ASSERT_EQ(1u, info.size());
  EXPECT_EQ(L"A.exe", info[0].host_name);
  EXPECT_EQ(10u, info[0].size);
}

TEST(ParseCrcInfo, SizeBaseDetection) {
  auto size = [](const std::string& line) {
    const ReleaseManifest info = Parse(";A\r\n" + line + "\r\n0\r\n");
    return info.empty() ? 0xBADu : info.at(0).size;
  };
  EXPECT_EQ(16u, size("0x10"));
  EXPECT_EQ(8u, size("010"));
  EXPECT_EQ(25000000u, size("25000000"));
  EXPECT_EQ(12u, size("12abc"));
  EXPECT_EQ(0u, size("abc"));
  EXPECT_EQ(0u, size(""));
  EXPECT_EQ(4294967295u, size("4294967295"));
  EXPECT_EQ(4294967295u, size("99999999999999999999999999"));
}

TEST(ParseCrcInfo, PartCrcClampsToTheSigned32BitRange) {
  const ReleaseManifest info =
      Parse(";A\r\n1\r\n+17\r\n-2147483648\r\n2147483647\r\n99999999999\r\n-99999999999\r\nx\r\n");
  ASSERT_EQ(1u, info.size());
  EXPECT_EQ(17, info[0].part_crcs.at(0));
  EXPECT_EQ(INT32_MIN, info[0].part_crcs.at(1));
  EXPECT_EQ(INT32_MAX, info[0].part_crcs.at(2));
  EXPECT_EQ(INT32_MAX, info[0].part_crcs.at(3));
  EXPECT_EQ(INT32_MIN, info[0].part_crcs.at(4));
  EXPECT_EQ(0, info[0].part_crcs.at(5));
}

TEST(ParseCrcInfo, PublishedCrcMatchesTheComputedOne) {
  // A 25,000,000-byte file has three parts, the last of 5,000,000 bytes.
  std::string file(25000000, '\0');
  for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>(i * 31 + (i >> 13));
  const CRC crc;
  std::string text = "Veltra_R1;Veltra_R1.bin\r\n25000000\r\n";
  for (size_t offset = 0; offset < file.size(); offset += kPartSize) {
    const size_t length = std::min<size_t>(kPartSize, file.size() - offset);
    text +=
        std::to_string(static_cast<int32_t>(crc.Compute(file.data() + offset, length))) + "\r\n";
  }
  const ReleaseManifest info = Parse(text);
  ASSERT_EQ(1u, info.size());
  ASSERT_EQ(3u, info[0].part_crcs.size());
  for (size_t part = 0; part < 3; ++part) {
    const size_t offset = part * kPartSize;
    const size_t length = std::min<size_t>(kPartSize, file.size() - offset);
    EXPECT_EQ(static_cast<int32_t>(crc.Compute(file.data() + offset, length)),
              info[0].part_crcs.at(part));
  }
}

TEST(ParseCrcInfo, AnsiNamesConvertThroughTheCodePage) {
  if (GetACP() != 1252) GTEST_SKIP() << "needs the Western code page";
  const ReleaseManifest info = Parse(";Caf\xE9.exe\r\n1\r\n");
  ASSERT_EQ(1u, info.size());
  EXPECT_EQ(L"Caf\u00E9.exe", info[0].host_name);
}

// Hostile input: nothing may crash or take long.
TEST(ParseCrcInfo, RandomBytesNeverCrash) {
  std::mt19937 random(1234);
  for (int round = 0; round < 300; ++round) {
    std::string bytes(random() % 4096, '\0');
    for (auto& b : bytes) {
      const unsigned r = random() % 16;
      b = r == 0 ? ';' : r == 1 ? '\r' : r == 2 ? '\n' : static_cast<char>(random());
    }
    EXPECT_LE(Parse(bytes).size(), bytes.size());
  }
}

TEST(ParseCrcInfo, MegabytesOfSeparatorsStayFast) {
  const ULONGLONG start = GetTickCount64();
  EXPECT_TRUE(Parse(std::string(4 * 1024 * 1024, ';')).empty());
  std::string many;
  for (int i = 0; i < 100000; ++i) many += ";F" + std::to_string(i) + "\r\n1\r\n0\r\n";
  EXPECT_EQ(100000u, Parse(many).size());
  EXPECT_TRUE(Parse(std::string(2 * 1024 * 1024, '\r')).empty());
  EXPECT_LT(GetTickCount64() - start, 20000u);
}

TEST(ParseCrcInfo, HugeNumbersAndGarbageLines) {
  const ReleaseManifest info =
      Parse(";A\r\n" + std::string(100000, '9') + "\r\n" + std::string(5000, '-') + "\r\n" +
            std::string(100000, '9') + "\r\n");
  ASSERT_EQ(1u, info.size());
  EXPECT_EQ(4294967295u, info[0].size);
  EXPECT_EQ(0, info[0].part_crcs.at(0));
  EXPECT_EQ(INT32_MAX, info[0].part_crcs.at(1));
}
