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
//   download_bench steps HOST SUFFIX LETTERS OBJECT=CRC...
//       the bare loop with what the workers do differently switched on by
//       LETTERS ("-" for none), printing the median time of each phase per
//       object: h fresh session and connection handles per object, f the
//       workers' flags, header and timeouts, t send and reads on a call
//       thread, b reads into a part's 10 MB block, c the CRC as it arrives,
//       e a progress event per read, w each part written to a file (b too)
// SUFFIX ("-" for none) is appended to every object path, as the access
// signature is. An OBJECT of the form @FILE stands for the lines of FILE, for
// lists longer than a command line holds.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/blockio.h"
#include "base/bytebuffer.h"
#include "base/crc.h"
#include "base/flagevent.h"
#include "base/scopedhandle.h"
#include "base/stoptoken.h"
#include "base/stringutils.h"
#include "net/blockedcallthread.h"
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

// The part files are left for the caller to delete once the clock has
// stopped: deleting a 10 MB file costs the bench some 6 ms, which the program
// spends only later, when it merges.
uint64_t RunWorkers(const std::wstring& host, const std::wstring& suffix,
                    const std::wstring& out_dir, const std::vector<std::string>& objects,
                    std::vector<std::wstring>& written) {
  uint64_t total = 0;
  for (size_t i = 0; i < objects.size(); ++i) {
    const size_t equals = objects[i].rfind('=');
    if (equals == std::string::npos) Fail("object without CRC " + objects[i], 0);
    const std::wstring part_path = out_dir + L"/bench.part" + std::to_wstring(i);
    FileDownload worker(
        DownloadRequest::Part(
            host, Wide(objects[i].substr(0, equals).c_str()), suffix, static_cast<uint32_t>(i), 0,
            static_cast<uint32_t>(std::strtoll(objects[i].c_str() + equals + 1, nullptr, 10)),
            part_path, nullptr),
        std::make_shared<RunStop>());
    worker.Start();
    worker.Wait();
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(part_path.c_str(), GetFileExInfoStandard, &data)) {
      Fail("object " + objects[i], 0);
    }
    total += data.nFileSizeLow;
    written.push_back(part_path);
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

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// What sets the workers apart from the bare loop, switched on step by step,
// each phase of each object timed. Without letters it is the bare loop with
// 2 MiB reads.
class StepProbe {
 public:
  explicit StepProbe(const std::string& letters) : letters_(letters) {}

  uint64_t Run(const std::wstring& host, const std::wstring& suffix,
               const std::vector<std::string>& objects, std::vector<std::wstring>& written) {
    if (On('t')) call_thread_ = BlockedCallThread::Acquire();
    running_.store(true);
    std::vector<double> open_ms, send_ms, body_ms, write_ms;
    uint64_t total = 0;
    for (size_t i = 0; i < objects.size(); ++i) {
      const double opened = Now();
      const std::wstring object =
          Wide(objects[i].substr(0, objects[i].rfind('=')).c_str()) + suffix;
      InternetHandle request = Open(host, object);
      const double sent = Now();
      Send(request.Get(), objects[i]);
      const double received = Now();
      const size_t size = ReadBody(request.Get());
      const double done = Now();
      if (On('w')) {
        written.push_back(WritePart(i));
      }
      block_.Truncate(0);
      const double stored = Now();
      total += size;
      open_ms.push_back(1000 * (sent - opened));
      send_ms.push_back(1000 * (received - sent));
      body_ms.push_back(1000 * (done - received));
      write_ms.push_back(1000 * (stored - done));
    }
    std::printf("steps '%s', median ms per object: open %.2f send %.2f body %.2f write %.2f\n",
                letters_.c_str(), Median(open_ms), Median(send_ms), Median(body_ms),
                Median(write_ms));
    return total;
  }

 private:
  bool On(char letter) const { return letters_.find(letter) != std::string::npos; }

  InternetHandle Open(const std::wstring& host, const std::wstring& object) {
    if (On('h') || !internet_) {
      connection_.Reset();
      internet_.Reset(InternetOpenW(L"bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
      connection_.Reset(InternetConnectW(internet_.Get(), host.c_str(), 443, nullptr, nullptr,
                                         INTERNET_SERVICE_HTTP, 0, 0));
      if (!connection_) Fail("InternetConnect", GetLastError());
    }
    const DWORD flags = On('f') ? INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_SECURE |
                                      INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_AUTO_REDIRECT
                                : INTERNET_FLAG_SECURE | INTERNET_FLAG_KEEP_CONNECTION |
                                      INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD |
                                      INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_COOKIES;
    InternetHandle request(HttpOpenRequestW(connection_.Get(), L"GET", object.c_str(), nullptr,
                                            nullptr, nullptr, flags, 0));
    if (On('f')) {
      DWORD timeout = 120000;
      InternetSetOptionW(request.Get(), INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout);
      InternetSetOptionW(request.Get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
    }
    return request;
  }

  void Send(HINTERNET request, const std::string& name) {
    static const wchar_t kAgentHeader[] = L"User-Agent: Veltra Download Manager / 9.5\r\n";
    BOOL sent = FALSE;
    const bool with_header = On('f');
    auto send = [&] {
      sent = with_header ? HttpSendRequestW(request, kAgentHeader,
                                            static_cast<DWORD>(wcslen(kAgentHeader)), nullptr, 0)
                         : HttpSendRequestW(request, nullptr, 0, nullptr, 0);
    };
    OnThread(send);
    DWORD status = 0;
    DWORD length = sizeof status;
    if (!sent ||
        !HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &length,
                        nullptr) ||
        status != 200) {
      Fail("object " + name + " status " + std::to_string(status), GetLastError());
    }
  }

  size_t ReadBody(HINTERNET request) {
    size_t size = 0;
    uint32_t crc = 0;
    const bool block = On('b');
    const bool check = On('c');
    const bool signal = On('e');
    if (block) block_.Reserve(10000000 + 0x1000);
    auto read_all = [&] {
      size_t wanted = 0x80000;
      for (;;) {
        uint8_t* room = buffer_.data();
        DWORD count = static_cast<DWORD>(buffer_.size());
        if (block) {
          // As the workers read: into the part's block, 512 KiB growing to 2 MiB.
          count = static_cast<DWORD>(std::min(wanted, block_.Capacity() - size));
          room = block_.Extend(count);
          wanted = std::min<size_t>(wanted * 2, 0x200000);
        }
        DWORD read = 0;
        const BOOL ok = InternetReadFile(request, room, count, &read);
        if (block) block_.Truncate(size + read);
        if (!ok || read == 0) return;
        if (check) crc = crc_.Continue(crc, room, read);
        size += read;
        if (signal) SetEvent(progress_.Get());
      }
    };
    OnThread(read_all, signal ? progress_.Get() : nullptr);
    return size;
  }

  std::wstring WritePart(size_t index) {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring path = folder + std::wstring(L"steps.part") + std::to_wstring(index);
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file ||
        !WriteBlock(file.Get(), block_.Data(), static_cast<DWORD>(block_.Size()), written)) {
      Fail("writing a part", GetLastError());
    }
    return path;
  }

  void OnThread(const std::function<void()>& call, HANDLE progress = nullptr) {
    if (!call_thread_) {
      call();
      return;
    }
    call_thread_->Run(call, StopToken(running_), progress, [] {});
  }

  const std::string letters_;
  InternetHandle internet_;
  InternetHandle connection_;
  std::shared_ptr<BlockedCallThread> call_thread_;
  FlagEvent running_;
  UniqueHandle progress_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(2 << 20);
  ByteBuffer block_;
  CRC crc_;
};

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
                 "       download_bench bare HOST SUFFIX READ_KIB OBJECT...\n"
                 "       download_bench steps HOST SUFFIX LETTERS OBJECT=CRC...\n");
    return 2;
  }
  const std::string mode = argv[1];
  const std::wstring host = Wide(argv[2]);
  const std::wstring suffix = std::string(argv[3]) == "-" ? L"" : Wide(argv[3]);
  const std::vector<std::string> objects = Objects(argv + 5, argv + argc);
  const double start = Now();
  uint64_t bytes = 0;
  std::vector<std::wstring> written;
  if (mode == "workers") {
    bytes = RunWorkers(host, suffix, Wide(argv[4]), objects, written);
  } else if (mode == "steps") {
    bytes =
        StepProbe(std::string(argv[4]) == "-" ? "" : argv[4]).Run(host, suffix, objects, written);
  } else {
    bytes = RunBare(host, suffix, static_cast<DWORD>(std::atoi(argv[4])) * 1024, objects);
  }
  const double seconds = Now() - start;
  for (const std::wstring& path : written) DeleteFileW(path.c_str());
  std::printf("%s %llu bytes %.2f s %.1f MB/s\n", mode.c_str(),
              static_cast<unsigned long long>(bytes), seconds, bytes / 1e6 / seconds);
  return 0;
}
