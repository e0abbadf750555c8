// Fetches COUNT objects of the test host in one of two ways and prints the
// throughput; bench/download_bench.sh runs both and adds curl, CPU and memory.
//   download_bench workers HOST PREFIX OUTDIR CRC...  FileDownload workers one
//                                                      after another, CRC
//                                                      checked, part files written
//   download_bench bare HOST PREFIX COUNT              a bare WinINet read loop
//                                                      that discards the bytes
// Object i is PREFIX + i.
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/stringutils.h"
#include "net/filedownload.h"
#include "net/wininethandle.h"

namespace {

double Now() {
  LARGE_INTEGER counter, frequency;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(counter.QuadPart) / frequency.QuadPart;
}

std::wstring Wide(const char* text) { return StringUtils::ToWide(text); }

uint64_t RunWorkers(const std::wstring& host, const std::wstring& prefix,
                    const std::wstring& out_dir, const std::vector<uint32_t>& crcs) {
  uint64_t total = 0;
  for (size_t i = 0; i < crcs.size(); ++i) {
    FileDownload worker;
    worker.server_name = host;
    worker.object_path = prefix + std::to_wstring(i);
    worker.part_file_path = out_dir + L"/bench.part" + std::to_wstring(i);
    worker.expected_crc = crcs[i];
    worker.part_size = 10000000;
    worker.Start();
    worker.Wait();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(worker.part_file_path.c_str(), GetFileExInfoStandard, &data)) {
      std::fprintf(stderr, "object %zu failed\n", i);
      std::exit(1);
    }
    total += data.nFileSizeLow;
  }
  return total;
}

uint64_t RunBare(const std::wstring& host, const std::wstring& prefix, int count) {
  std::vector<char> buffer(FileDownload::kReadChunkSize);
  uint64_t total = 0;
  for (int i = 0; i < count; ++i) {
    InternetHandle internet(InternetOpenW(L"bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    InternetHandle connection(InternetConnectW(internet.Get(), host.c_str(), 443, nullptr, nullptr,
                                               INTERNET_SERVICE_HTTP, 0, 0));
    const std::wstring object = prefix + std::to_wstring(i);
    InternetHandle request(HttpOpenRequestW(
        connection.Get(), L"GET", object.c_str(), nullptr, nullptr, nullptr,
        INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE | INTERNET_FLAG_PRAGMA_NOCACHE, 0));
    if (!HttpSendRequestW(request.Get(), nullptr, 0, nullptr, 0)) {
      std::fprintf(stderr, "object %d failed: %lu\n", i, GetLastError());
      std::exit(1);
    }
    DWORD read = 0;
    while (InternetReadFile(request.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read) &&
           read > 0) {
      total += read;
    }
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: download_bench workers|bare HOST PREFIX ...\n");
    return 2;
  }
  const std::string mode = argv[1];
  const std::wstring host = Wide(argv[2]);
  const std::wstring prefix = Wide(argv[3]);
  const double start = Now();
  uint64_t bytes = 0;
  if (mode == "workers") {
    std::vector<uint32_t> crcs;
    for (int i = 5; i < argc; ++i) crcs.push_back(static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10)));
    bytes = RunWorkers(host, prefix, Wide(argv[4]), crcs);
  } else {
    bytes = RunBare(host, prefix, std::atoi(argv[4]));
  }
  const double seconds = Now() - start;
  std::printf("%s %llu bytes %.2f s %.1f MB/s\n", mode.c_str(),
              static_cast<unsigned long long>(bytes), seconds, bytes / 1e6 / seconds);
  return 0;
}
