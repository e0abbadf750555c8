// What fresh memory costs this machine, for the download workers' figures:
// each part is written into page-cache pages that are new to the process,
// and each worker's thread starts on a stack that is new too. Prints the
// median of ten rounds of
//   - filling a 10 MB block the first time (fresh pages) and again (reused);
//   - writing 10 MB to a new file, and over the same file's cached pages;
//   - the memory made resident by starting one idle thread.
//   page_bench [FOLDER]   (files are written there, default the temp folder)
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/blockio.h"
#include "base/scopedhandle.h"

namespace {

constexpr size_t kPart = 10000000;
constexpr int kRounds = 10;

double NowMs() {
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double Resident() {
  PROCESS_MEMORY_COUNTERS memory = {};
  GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
  return static_cast<double>(memory.WorkingSetSize);
}

double WriteFileMs(const std::wstring& path, const uint8_t* bytes, DWORD disposition) {
  const double start = NowMs();
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (!file || !WriteBlock(file.Get(), bytes, static_cast<DWORD>(kPart), written)) {
    std::fprintf(stderr, "writing %ls failed: %lu\n", path.c_str(), GetLastError());
    std::exit(1);
  }
  return NowMs() - start;
}

DWORD WINAPI Idle(void* quit) {
  WaitForSingleObject(static_cast<HANDLE>(quit), INFINITE);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring folder = temp;
  if (argc > 1) folder = std::wstring(argv[1], argv[1] + std::strlen(argv[1])) + L"\\";

  std::vector<double> fresh, reused, new_file, same_file, thread_kb;
  std::unique_ptr<uint8_t[]> kept(new uint8_t[kPart]);
  for (int round = 0; round < kRounds; ++round) {
    double start = NowMs();
    std::unique_ptr<uint8_t[]> block(new uint8_t[kPart]);
    std::memset(block.get(), round + 1, kPart);
    fresh.push_back(NowMs() - start);
    start = NowMs();
    std::memset(kept.get(), round + 1, kPart);
    reused.push_back(NowMs() - start);

    const std::wstring path = folder + L"page_bench." + std::to_wstring(round);
    new_file.push_back(WriteFileMs(path, kept.get(), CREATE_ALWAYS));
    same_file.push_back(WriteFileMs(path, kept.get(), OPEN_EXISTING));
  }
  for (int round = 0; round < kRounds; ++round) {
    DeleteFileW((folder + L"page_bench." + std::to_wstring(round)).c_str());
  }

  UniqueHandle quit(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<UniqueHandle> threads;
  for (int round = 0; round < kRounds; ++round) {
    const double before = Resident();
    threads.emplace_back(CreateThread(nullptr, 0, Idle, quit.Get(), 0, nullptr));
    Sleep(50);
    thread_kb.push_back((Resident() - before) / 1024);
  }
  SetEvent(quit.Get());
  for (UniqueHandle& thread : threads) WaitForSingleObject(thread.Get(), INFINITE);

  std::printf("10 MB into fresh memory %.2f ms, into a reused block %.2f ms\n", Median(fresh),
              Median(reused));
  std::printf("10 MB to a new file %.2f ms, over the same file's cached pages %.2f ms\n",
              Median(new_file), Median(same_file));
  std::printf("resident per idle thread started %.0f kB\n", Median(thread_kb));
  return 0;
}
