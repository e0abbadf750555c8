#pragma once

#include <cstddef>
#include <cstdint>

// The standard CRC-32 of zlib, gzip and PNG (reflected 0xEDB88320, initial
// and final value 0xFFFFFFFF). Check value of "123456789": 0xCBF43926.
class CRC {
 public:
  CRC();
  virtual ~CRC() = default;

  // The CRC-32 of one whole buffer; every call starts afresh.
  uint32_t Compute(const void* data, size_t length) const { return Continue(0, data, length); }

  // The CRC-32 of the bytes that gave `crc`, followed by these: a buffer
  // checked as it arrives, piece by piece.
  uint32_t Continue(uint32_t crc, const void* data, size_t length) const;

  // The same value, one table lookup per byte: the reference that Compute
  // must match, and the baseline of the benchmark.
  uint32_t ComputeBytewise(const void* data, size_t length) const;

  uint32_t TableEntry(uint8_t index) const { return table_[index]; }

 private:
  uint32_t table_[256];
};
