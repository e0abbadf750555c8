// Whole runs of the download manager against the test download host, which
// bench/release_bench.py fills and starts:
//   release_bench run HOST SUBDIR          one run of the manager over the
//                                          release SUBDIR/R1.txt; prints its
//                                          seconds and the process's peak
//                                          working set
//   release_bench workers HOST SUBDIR N SIZE
//                                          the parts SUBDIR/0_fK-1a.bin,
//                                          K < N, of SIZE bytes of "K "
//                                          repeated, fetched and checked by
//                                          FileDownload workers one after
//                                          another: the cost of the
//                                          transfers alone
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/crc.h"
#include "base/stringutils.h"
#include "download/downloadmanager.h"

namespace {

class NoListener : public IDMListener {
 public:
  void DownloadFinished(DownloadManager*) override { finished = true; }
  void ShowError(const std::wstring&) override {}
  void DownloadFailed(DownloadManager*) override {}
  void OpenPage(const std::wstring&) override {}
  bool finished = false;
};

// Starts nothing: the release's setup is only bytes.
class NoShell : public IShell {
 public:
  intptr_t OpenFile(const std::wstring&, const std::wstring&) override { return 42; }
  intptr_t OpenUrl(const std::wstring&) override { return 42; }
  intptr_t Explore(const std::wstring&) override { return 42; }
};

double Now() {
  LARGE_INTEGER frequency, now;
  ::QueryPerformanceFrequency(&frequency);
  ::QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) / frequency.QuadPart;
}

std::wstring Folder(const std::wstring& name) {
  wchar_t temp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, temp);
  const std::wstring folder = std::wstring(temp) + name;
  ::CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

void RemoveFolder(const std::wstring& folder) {
  WIN32_FIND_DATAW entry;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      ::DeleteFileW((folder + L"\\" + entry.cFileName).c_str());
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
  }
  ::RemoveDirectoryW(folder.c_str());
}

int Run(const std::wstring& host, const std::wstring& subdir) {
  const std::wstring program = Folder(L"vdm_release_bench");
  const std::wstring download = Folder(L"vdm_release_bench_parts");
  NoListener listener;
  NoShell shell;
  double seconds = 0;
  {
    DownloadManager manager(&listener);
    manager.SetRelease({host, subdir, L"P1", L"?sig=bench"});
    manager.SetShell(&shell);
    const double start = Now();
    manager.StartDownload(host, L"", L"R1.txt", download, program);
    manager.Wait();
    seconds = Now() - start;
  }
  // Wine keeps the peak of the working set, not that of the private bytes.
  PROCESS_MEMORY_COUNTERS memory = {};
  memory.cb = sizeof memory;
  ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof memory);
  std::printf("%s in %.2f s; peak working set %.1f MB\n",
              listener.finished ? "complete" : "NOT complete", seconds,
              memory.PeakWorkingSetSize / 1e6);
  RemoveFolder(program);
  RemoveFolder(download);
  return listener.finished ? 0 : 1;
}

int Workers(const std::wstring& host, const std::wstring& subdir, int count, size_t size) {
  const std::wstring folder = Folder(L"vdm_release_bench_workers");
  const double start = Now();
  for (int k = 0; k < count; ++k) {
    std::string content;
    while (content.size() < size) content += std::to_string(k) + " ";
    content.resize(size);
    FileDownload worker(
        DownloadRequest::Part(host, L"/" + subdir + L"/0_f" + std::to_wstring(k) + L"-1a.bin",
                              L"?sig=bench", static_cast<uint32_t>(k), static_cast<uint32_t>(size),
                              CRC().Compute(content.data(), content.size()),
                              folder + L"/f" + std::to_wstring(k) + L".part", nullptr),
        std::make_shared<RunStop>());
    worker.Start();
    worker.Wait();
  }
  std::printf("%d parts by workers alone in %.2f s\n", count, Now() - start);
  RemoveFolder(folder);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "run" && argc == 4) {
    return Run(StringUtils::ToWide(argv[2]), StringUtils::ToWide(argv[3]));
  }
  if (mode == "workers" && argc == 6) {
    return Workers(StringUtils::ToWide(argv[2]), StringUtils::ToWide(argv[3]), std::atoi(argv[4]),
                   static_cast<size_t>(std::atoi(argv[5])));
  }
  std::fprintf(stderr, "usage: release_bench run HOST SUBDIR | workers HOST SUBDIR COUNT SIZE\n");
  return 2;
}
