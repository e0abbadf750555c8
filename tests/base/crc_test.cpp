#include "base/crc.h"
#include "base/crcfold.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

TEST(CRC, StandardCheckValue) {
  const CRC crc;
  EXPECT_EQ(0xCBF43926u, crc.Compute("123456789", 9));
  EXPECT_EQ(0xCBF43926u, crc.ComputeBytewise("123456789", 9));
  EXPECT_EQ(0u, crc.Compute("", 0));
  EXPECT_EQ(0u, crc.ComputeBytewise("", 0));
}

TEST(CRC, TableIsTheReflectedStandardTable) {
  const CRC crc;
  EXPECT_EQ(0u, crc.TableEntry(0));
  EXPECT_EQ(0x77073096u, crc.TableEntry(1));
  EXPECT_EQ(0xEDB88320u, crc.TableEntry(128));
  EXPECT_EQ(0x2D02EF8Du, crc.TableEntry(255));
}

TEST(CRC, ComputeMatchesTheBytewiseLoopOnEveryLengthAndAlignment) {
  // Every way a buffer can split into 64-byte folds, 16-byte folds and a
  // tail, from every position within a cache line: every length up to
  // several folds, and longer ones at a stride prime to 64, so that they
  // still end at every position of a fold.
  std::mt19937 random(7);
  std::vector<unsigned char> data(4096 + 64);
  for (auto& byte : data) byte = static_cast<unsigned char>(random());
  const CRC crc;
  for (size_t offset = 0; offset < 64; ++offset) {
    for (size_t length = 0; length <= 4096; length += length < 512 ? 1 : 61) {
      ASSERT_EQ(crc.ComputeBytewise(data.data() + offset, length),
                crc.Compute(data.data() + offset, length))
          << "offset " << offset << " length " << length;
    }
  }
}

TEST(CRC, ComputeMatchesTheBytewiseLoopOnLargeBuffers) {
  std::mt19937 random(11);
  std::vector<unsigned char> data(10000000 + 77);
  for (auto& byte : data) byte = static_cast<unsigned char>(random());
  const CRC crc;
  // A full part of random bytes, odd sizes around it, and runs of bytes that
  // make the lanes cancel: all zeros and all ones.
  for (size_t length : {size_t{10000077}, size_t{65536 + 15}}) {
    EXPECT_EQ(crc.ComputeBytewise(data.data(), length), crc.Compute(data.data(), length))
        << "length " << length;
    EXPECT_EQ(crc.ComputeBytewise(data.data() + 3, length - 3),
              crc.Compute(data.data() + 3, length - 3))
        << "length " << length - 3;
  }
  for (unsigned char fill : {0x00, 0xFF}) {
    std::vector<unsigned char> same(1000000, fill);
    EXPECT_EQ(crc.ComputeBytewise(same.data(), same.size()), crc.Compute(same.data(), same.size()))
        << "fill " << int{fill};
  }
}

TEST(CRC, FoldingCarriesAnyStartingState) {
  // Update continues from whatever register value it is given; checked
  // directly, so that a processor check that wrongly said no could not hide a
  // broken fold behind zlib.
  if (!CrcFold::Available()) GTEST_SKIP() << "no PCLMULQDQ on this processor";
  std::mt19937 random(13);
  std::vector<unsigned char> data(2048);
  for (auto& byte : data) byte = static_cast<unsigned char>(random());
  const CRC crc;
  for (uint32_t state : {0u, 0xFFFFFFFFu, 0x12345678u, 0x80000001u}) {
    for (size_t length = CrcFold::kMinLength; length <= data.size(); length += 16) {
      // The register stepped through the table one byte at a time.
      uint32_t expected = state;
      for (size_t i = 0; i < length; ++i) {
        expected = (expected >> 8) ^ crc.TableEntry(static_cast<uint8_t>(expected ^ data[i]));
      }
      ASSERT_EQ(expected, CrcFold::Update(state, data.data(), length))
          << "state " << state << " length " << length;
    }
  }
}

TEST(CRC, ContinuingOverPiecesGivesTheWholeBuffersValue) {
  // A body is checked read by read, in pieces of any size.
  std::mt19937 random(11);
  std::vector<unsigned char> data(300000);
  for (auto& byte : data) byte = static_cast<unsigned char>(random());
  const CRC crc;
  uint32_t running = 0;
  size_t done = 0;
  for (size_t piece = 1; done < data.size(); piece = piece * 7 % 65521 + 1) {
    const size_t length = std::min(piece, data.size() - done);
    running = crc.Continue(running, data.data() + done, length);
    done += length;
  }
  EXPECT_EQ(crc.Compute(data.data(), data.size()), running);
}
