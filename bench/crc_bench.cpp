// Prints the throughput of CRC::Compute next to zlib's crc32 and the plain
// one-lookup-per-byte loop over the same 100 MB, in one run.
#include <windows.h>
#include <zlib.h>

#include <cstdio>
#include <vector>

#include "base/crc.h"
#include "base/crcfold.h"

namespace {

double Seconds(const LARGE_INTEGER& start, const LARGE_INTEGER& end) {
  LARGE_INTEGER frequency;
  ::QueryPerformanceFrequency(&frequency);
  return static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
}

template <typename Compute>
double MegabytesPerSecond(const std::vector<unsigned char>& data, Compute compute,
                          uint32_t& result) {
  LARGE_INTEGER start, end;
  ::QueryPerformanceCounter(&start);
  result = compute(data.data(), data.size());
  ::QueryPerformanceCounter(&end);
  return data.size() / 1e6 / Seconds(start, end);
}

}  // namespace

int main() {
  std::vector<unsigned char> data(100 * 1000 * 1000);
  uint32_t seed = 12345;
  for (auto& byte : data) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<unsigned char>(seed >> 24);
  }
  const CRC crc;
  uint32_t fast = 0, zlib = 0, plain = 0;
  const double fast_rate = MegabytesPerSecond(
      data, [&](const void* p, size_t n) { return crc.Compute(p, n); }, fast);
  const double zlib_rate = MegabytesPerSecond(
      data,
      [](const void* p, size_t n) {
        return static_cast<uint32_t>(
            crc32(crc32(0L, Z_NULL, 0), static_cast<const Bytef*>(p), static_cast<uInt>(n)));
      },
      zlib);
  const double plain_rate = MegabytesPerSecond(
      data, [&](const void* p, size_t n) { return crc.ComputeBytewise(p, n); }, plain);
  std::printf("CRC-32 over %zu bytes\n", data.size());
  std::printf("  CRC::Compute        %8.1f MB/s  crc %08x  (%s)\n", fast_rate, fast,
              CrcFold::Available() ? "carry-less multiplication" : "zlib, no PCLMULQDQ");
  std::printf("  zlib crc32          %8.1f MB/s  crc %08x\n", zlib_rate, zlib);
  std::printf("  one lookup per byte %8.1f MB/s  crc %08x\n", plain_rate, plain);
  std::printf("  ratio to zlib       %8.2fx\n", fast_rate / zlib_rate);
  std::printf("  ratio to bytewise   %8.2fx\n", fast_rate / plain_rate);
  return fast == plain && zlib == plain ? 0 : 1;
}
