#include "base/crc.h"

#include <gtest/gtest.h>

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
  std::mt19937 random(7);
  std::vector<unsigned char> data(70000);
  for (auto& byte : data) byte = static_cast<unsigned char>(random());
  const CRC crc;
  for (size_t offset = 0; offset < 16; ++offset) {
    for (size_t length : {size_t{1}, size_t{3}, size_t{7}, size_t{8}, size_t{31}, size_t{64},
                          size_t{1023}, size_t{65536}}) {
      ASSERT_EQ(crc.ComputeBytewise(data.data() + offset, length),
                crc.Compute(data.data() + offset, length))
          << "offset " << offset << " length " << length;
    }
  }
}

TEST(CRC, WholePartBuffer) {
  // A full 10,000,000-byte part of zeros: a value whose top bit decides
  // whether the release writes it as a negative number.
  std::vector<unsigned char> part(10000000, 0);
  const CRC crc;
  EXPECT_EQ(crc.ComputeBytewise(part.data(), part.size()), crc.Compute(part.data(), part.size()));
}
