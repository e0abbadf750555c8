// Fetches objects of a download host in one of two ways and prints the
// throughput; bench/download_bench.py and bench/nginx_bench.py run both and
// add curl, CPU and memory.
//   download_bench workers HOST SUFFIX OUTDIR OBJECT=CRC...
//       FileDownload workers one after another: CRC checked, part files
//       written, as the program fetches parts
//   download_bench bare HOST SUFFIX READ_KIB OBJECT...
//       the best plain WinINet loop we know: one session and one connection
//       handle for every request, kept-alive connections, no cache, reads of
//       READ_KIB KiB, the bytes discarded
// SUFFIX ("-" for none) is appended to every object path, as the access
// signature is. An OBJECT of the form @FILE stands for the lines of FILE, for
// lists longer than a command line holds.
#include <windows.h>
#include <wininet.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
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

[[noreturn]] void Fail(const std::string& what, DWORD error) {
  std::fprintf(stderr, "%s failed: %lu\n", what.c_str(), error);
  std::exit(1);
}

uint64_t RunWorkers(const std::wstring& host, const std::wstring& suffix,
                    const std::wstring& out_dir, const std::vector<std::string>& objects) {
  uint64_t total = 0;
  for (size_t i = 0; i < objects.size(); ++i) {
    const size_t equals = objects[i].rfind('=');
    if (equals == std::string::npos) Fail("object without CRC " + objects[i], 0);
    const std::wstring part_path = out_dir + L"/bench.part" + std::to_wstring(i);
    FileDownload worker(DownloadRequest::Part(
        host, Wide(objects[i].substr(0, equals).c_str()), suffix, static_cast<uint32_t>(i),
        10000000, static_cast<uint32_t>(std::strtoll(objects[i].c_str() + equals + 1, nullptr, 10)),
        part_path, nullptr));
    worker.Start();
    worker.Wait();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(part_path.c_str(), GetFileExInfoStandard, &data)) {
      Fail("object " + objects[i], 0);
    }
    total += data.nFileSizeLow;
    DeleteFileW(part_path.c_str());
  }
  return total;
}

uint64_t RunBare(const std::wstring& host, const std::wstring& suffix, DWORD read_size,
                 const std::vector<std::string>& objects) {
  std::vector<char> buffer(read_size);
  uint64_t total = 0;
  InternetHandle internet(
      InternetOpenW(L"bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  InternetHandle connection(InternetConnectW(internet.Get(), host.c_str(), 443, nullptr, nullptr,
                                             INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) Fail("InternetConnect", GetLastError());
  for (const std::string& name : objects) {
    const std::wstring object = Wide(name.c_str()) + suffix;
    InternetHandle request(HttpOpenRequestW(
        connection.Get(), L"GET", object.c_str(), nullptr, nullptr, nullptr,
        INTERNET_FLAG_SECURE | INTERNET_FLAG_KEEP_CONNECTION | INTERNET_FLAG_NO_CACHE_WRITE |
            INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES,
        0));
    if (!request || !HttpSendRequestW(request.Get(), nullptr, 0, nullptr, 0)) {
      Fail("object " + name, GetLastError());
    }
    DWORD status = 0;
    DWORD length = sizeof status;
    if (!HttpQueryInfoW(request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                        &length, nullptr) ||
        status != 200) {
      Fail("object " + name + " status " + std::to_string(status), GetLastError());
    }
    DWORD read = 0;
    while (InternetReadFile(request.Get(), buffer.data(), read_size, &read) && read > 0) {
      total += read;
    }
  }
  return total;
}

std::vector<std::string> Objects(char** first, char** last) {
  std::vector<std::string> objects;
  for (char** arg = first; arg != last; ++arg) {
    if (**arg != '@') {
      objects.emplace_back(*arg);
      continue;
    }
    std::ifstream list(*arg + 1);
    if (!list) Fail(std::string("reading ") + (*arg + 1), 0);
    for (std::string line; std::getline(list, line);) {
      if (!line.empty()) objects.push_back(line);
    }
  }
  return objects;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr,
                 "usage: download_bench workers HOST SUFFIX OUTDIR OBJECT=CRC...\n"
                 "       download_bench bare HOST SUFFIX READ_KIB OBJECT...\n");
    return 2;
  }
  const std::string mode = argv[1];
  const std::wstring host = Wide(argv[2]);
  const std::wstring suffix = std::string(argv[3]) == "-" ? L"" : Wide(argv[3]);
  const std::vector<std::string> objects = Objects(argv + 5, argv + argc);
  const double start = Now();
  uint64_t bytes = 0;
  if (mode == "workers") {
    bytes = RunWorkers(host, suffix, Wide(argv[4]), objects);
  } else {
    bytes = RunBare(host, suffix, static_cast<DWORD>(std::atoi(argv[4])) * 1024, objects);
  }
  const double seconds = Now() - start;
  std::printf("%s %llu bytes %.2f s %.1f MB/s\n", mode.c_str(),
              static_cast<unsigned long long>(bytes), seconds, bytes / 1e6 / seconds);
  return 0;
}
