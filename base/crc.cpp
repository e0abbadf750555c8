#include "base/crc.h"

#include <zlib.h>

#include <algorithm>

#include "base/crcfold.h"

namespace {

uint32_t Reflect(uint32_t value, int bits) {
  uint32_t result = 0;
  for (int i = 0; i < bits; ++i) {
    if (value & (1u << i)) result |= 1u << (bits - 1 - i);
  }
  return result;
}

}  // namespace

CRC::CRC() {
  constexpr uint32_t kPolynomial = 0x04C11DB7;
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t value = Reflect(i, 8) << 24;
    for (int bit = 0; bit < 8; ++bit) {
      value = (value & 0x80000000u) ? (value << 1) ^ kPolynomial : value << 1;
    }
    table_[i] = Reflect(value, 32);
  }
}

uint32_t CRC::Continue(uint32_t previous, const void* data, size_t length) const {
  const Bytef* bytes = static_cast<const Bytef*>(data);
  uLong crc = previous;
  // The bulk goes through carry-less multiplication where the processor has
  // it; zlib, which continues from the inverted value, takes the rest.
  if (length >= CrcFold::kMinLength && CrcFold::Available()) {
    const size_t folded = length & ~size_t{15};
    crc = CrcFold::Update(static_cast<uint32_t>(crc) ^ 0xFFFFFFFFu, bytes, folded) ^ 0xFFFFFFFFu;
    bytes += folded;
    length -= folded;
  }
  // zlib takes 32-bit lengths, so larger buffers go through in slices.
  while (length > 0) {
    const uInt slice = static_cast<uInt>(std::min<size_t>(length, 1u << 30));
    crc = crc32(crc, bytes, slice);
    bytes += slice;
    length -= slice;
  }
  return static_cast<uint32_t>(crc);
}

uint32_t CRC::ComputeBytewise(const void* data, size_t length) const {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  uint32_t value = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    value = (value >> 8) ^ table_[(value ^ bytes[i]) & 0xFF];
  }
  return value ^ 0xFFFFFFFFu;
}
