// The time the check of the setup's signature adds before the setup starts:
// SetupSignature::Check on a signed file, next to one plain read of the same
// file (the least any check of every byte costs), median of three rounds
// each, from the cache.
//   setupsignature_bench.exe FILE PINS
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/scopedhandle.h"
#include "download/setupsignature.h"

namespace {

double Now() {
  LARGE_INTEGER frequency, counter;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / frequency.QuadPart;
}

// Reads the whole file in 1 MiB blocks; its size, or 0 when it cannot.
uint64_t ReadWhole(const wchar_t* path) {
  UniqueHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return 0;
  std::vector<char> block(1 << 20);
  uint64_t total = 0;
  DWORD got = 0;
  while (::ReadFile(file.Get(), block.data(), static_cast<DWORD>(block.size()), &got, nullptr) &&
         got > 0) {
    total += got;
  }
  return total;
}

template <typename Step>
double Median(Step step) {
  std::vector<double> seconds;
  for (int round = 0; round < 3; ++round) {
    const double start = Now();
    step();
    seconds.push_back(Now() - start);
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds[1];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fputs("usage: setupsignature_bench.exe FILE PINS\n", stderr);
    return 2;
  }
  const uint64_t size = ReadWhole(argv[1]);
  if (size == 0) {
    std::fputs("the file cannot be read\n", stderr);
    return 1;
  }
  const SetupSignature signature(argv[2]);
  SetupSignature::Result result;
  const double read = Median([&] { ReadWhole(argv[1]); });
  const double check = Median([&] { result = signature.Check(argv[1]); });
  std::printf("setup of %.1f MB, %s\n", size / 1e6,
              result.passed ? "signature accepted" : "signature REFUSED");
  std::printf("  plain read:       %7.3f s  %7.1f MB/s\n", read, size / 1e6 / read);
  std::printf("  signature check:  %7.3f s  %7.1f MB/s\n", check, size / 1e6 / check);
  return result.passed ? 0 : 1;
}
